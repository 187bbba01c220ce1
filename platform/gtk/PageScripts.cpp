// The platform's headers come before the toolkit's, whose TRUE and FALSE are macros.
#include "PageScripts.h"

#include "SysUtils.h"
#include "Trace.h"

#include <algorithm>

#include "GObjectPtr.h"

// The resource bundle that glib-compile-resources makes of scripts/.
extern "C" GResource* kiva_page_scripts_get_resource(void);

namespace kiva {

namespace {

constexpr const char* kResourceFolder = "/org/kivabook/viewer/page/";

} // namespace

TPageScripts::TPageScripts(WebKitUserContentManager* content) : content_(content) {}

TPageScripts::~TPageScripts() {
    for (TObserver& observer : observers_) {
        g_signal_handlers_disconnect_by_data(content_, &observer);
        webkit_user_content_manager_unregister_script_message_handler_in_world(
            content_, observer.Handler.c_str(), WorldName().c_str());
    }
    for (const TUserScriptPtr& script : scripts_) {
        webkit_user_content_manager_remove_script(content_, script.get());
    }
    for (const TUserStyleSheetPtr& sheet : styleSheets_) {
        webkit_user_content_manager_remove_style_sheet(content_, sheet.get());
    }
}

const std::string& TPageScripts::WorldName() {
    static const std::string name = [] {
        GCharPtr uuid(g_uuid_string_random());
        return std::string("kiva-") + uuid.get();
    }();
    return name;
}

std::string TPageScripts::Text(const char* resource) {
    const std::string path = std::string(kResourceFolder) + resource;
    GError* error = nullptr;
    std::unique_ptr<GBytes, decltype(&g_bytes_unref)> bytes(
        g_resource_lookup_data(kiva_page_scripts_get_resource(), path.c_str(),
                               G_RESOURCE_LOOKUP_FLAGS_NONE, &error),
        g_bytes_unref);
    GErrorPtr failure(error);
    if (!bytes) {
        throw Exception(Format("The page script %s is missing: %s", std::string(resource),
                               std::string(failure ? failure->message : "")));
    }
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(bytes.get(), &size));
    return std::string(data, size);
}

void TPageScripts::AddObserver(const char* resource, const char* handler,
                               WebKitUserContentInjectedFrames frames, TMessageHandler onMessage) {
    const std::string source = Text(resource);
    TObserver& observer = observers_.emplace_back(TObserver{handler, std::move(onMessage)});
    webkit_user_content_manager_register_script_message_handler_in_world(content_, handler,
                                                                         WorldName().c_str());
    const std::string signal = std::string("script-message-received::") + handler;
    g_signal_connect(content_, signal.c_str(), G_CALLBACK(OnScriptMessage), &observer);
    TUserScriptPtr script(webkit_user_script_new_for_world(
        source.c_str(), frames, WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, WorldName().c_str(),
        nullptr, nullptr));
    webkit_user_content_manager_add_script(content_, script.get());
    scripts_.push_back(std::move(script));
}

void TPageScripts::OnScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result,
                                   gpointer data) noexcept {
    auto* observer = static_cast<TObserver*>(data);
    try {
        observer->OnMessage(webkit_javascript_result_get_js_value(result));
    } catch (...) {
        TraceCaughtError("the page script message " + observer->Handler);
    }
}

WebKitUserScript* TPageScripts::AddHook(const std::string& source,
                                        WebKitUserContentInjectedFrames frames,
                                        const std::vector<std::string>& allow) {
    std::vector<const char*> patterns;
    for (const std::string& pattern : allow) {
        patterns.push_back(pattern.c_str());
    }
    patterns.push_back(nullptr);
    TUserScriptPtr script(
        webkit_user_script_new(source.c_str(), frames, WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START,
                               allow.empty() ? nullptr : patterns.data(), nullptr));
    webkit_user_content_manager_add_script(content_, script.get());
    scripts_.push_back(std::move(script));
    return scripts_.back().get();
}

void TPageScripts::RemoveHook(WebKitUserScript* hook) {
    const auto it = std::find_if(scripts_.begin(), scripts_.end(),
                                 [hook](const TUserScriptPtr& s) { return s.get() == hook; });
    if (it != scripts_.end()) {
        webkit_user_content_manager_remove_script(content_, hook);
        scripts_.erase(it);
    }
}

void TPageScripts::AddStyleSheet(const std::string& source,
                                 WebKitUserContentInjectedFrames frames) {
    if (source.empty()) {
        return;
    }
    TUserStyleSheetPtr sheet(webkit_user_style_sheet_new(
        source.c_str(), frames, WEBKIT_USER_STYLE_LEVEL_USER, nullptr, nullptr));
    webkit_user_content_manager_add_style_sheet(content_, sheet.get());
    styleSheets_.push_back(std::move(sheet));
}

void TPageScripts::SetStyleSheets(const std::string& topOnly, const std::string& everyFrame) {
    for (const TUserStyleSheetPtr& sheet : styleSheets_) {
        webkit_user_content_manager_remove_style_sheet(content_, sheet.get());
    }
    styleSheets_.clear();
    AddStyleSheet(topOnly, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME);
    AddStyleSheet(everyFrame, WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES);
}

std::vector<std::string> TPageScripts::HandlerNames() const {
    std::vector<std::string> names;
    for (const TObserver& observer : observers_) {
        names.push_back(observer.Handler);
    }
    return names;
}

} // namespace kiva
