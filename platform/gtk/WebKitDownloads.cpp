// The platform's headers come before the toolkit's, whose TRUE and FALSE are macros.
#include "WebKitDownloads.h"

#include "MainLoopCall.h"
#include "SysUtils.h"
#include "Trace.h"
#include "UrlMon.h"
#include "WebKitSite.h"

#include "GObjectPtr.h"

namespace kiva {

TWebKitDownloads::TWebKitDownloads(GtkWidget* container, TWebKitSite& site,
                                   std::function<bool(WebKitWebView*)> ours)
    : container_(container), site_(site), ours_(std::move(ours)) {}

TWebKitDownloads::~TWebKitDownloads() {
    if (context_) {
        g_signal_handlers_disconnect_by_data(context_, this);
    }
}

void TWebKitDownloads::Watch(WebKitWebContext* context, IServiceProvider* services) {
    if (context_) {
        return;
    }
    context_ = context;
    services_ = ComPtr<IServiceProvider>(services);
    g_signal_connect(context_, "download-started", G_CALLBACK(OnDownloadStarted), this);
}

std::string TWebKitDownloads::ChooseSaveFile(const std::string& suggested) {
    GtkWidget* top = gtk_widget_get_toplevel(container_);
    GtkWidget* chooser = gtk_file_chooser_dialog_new(
        "Save File", GTK_IS_WINDOW(top) ? GTK_WINDOW(top) : nullptr, GTK_FILE_CHOOSER_ACTION_SAVE,
        "_Cancel", GTK_RESPONSE_CANCEL, "_Save", GTK_RESPONSE_ACCEPT, nullptr);
    gtk_file_chooser_set_do_overwrite_confirmation(GTK_FILE_CHOOSER(chooser), TRUE);
    if (!suggested.empty()) {
        gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), suggested.c_str());
    }
    const gint response = gtk_dialog_run(GTK_DIALOG(chooser));
    GCharPtr file(response == GTK_RESPONSE_ACCEPT
                      ? gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser))
                      : nullptr);
    gtk_widget_destroy(chooser);
    return file ? std::string(file.get()) : std::string();
}

void TWebKitDownloads::SaveEntry(const std::string& uri, const std::string& name) {
    const std::string file = ChooseSaveFile(name);
    if (file.empty()) {
        return;
    }
    const TNameSpaceResponse body = RunNameSpaceRequest(AnsiToWide(uri), 0, services_.Get());
    GError* error = nullptr;
    if (FAILED(body.Result) ||
        !g_file_set_contents(file.c_str(), body.Data.data(), static_cast<gssize>(body.Data.size()),
                             &error)) {
        GErrorPtr failure(error);
        TWebBrowserEventParams params;
        params.URL = AnsiToWide(uri);
        params.StatusCode = FAILED(body.Result) ? body.Result : E_FAIL;
        site_.Fire(DISPID_NAVIGATEERROR, params);
    }
}

void TWebKitDownloads::SaveEntryLater(const std::string& uri, const std::string& suggested) {
    std::string name = suggested;
    if (name.empty()) {
        const std::string path = uri.substr(0, uri.find_first_of("?#"));
        GCharPtr last(g_uri_unescape_string(path.substr(path.rfind('/') + 1).c_str(), nullptr));
        name = last ? last.get() : "";
    }
    CallFromMainLoop(token_, "saving a book entry", [this, uri, name] { SaveEntry(uri, name); });
}

void TWebKitDownloads::OnDownloadStarted(WebKitWebContext*, WebKitDownload* download,
                                         gpointer self) noexcept {
    auto* downloads = static_cast<TWebKitDownloads*>(self);
    try {
        if (downloads->ours_(webkit_download_get_web_view(download))) {
            g_signal_connect(download, "decide-destination", G_CALLBACK(OnDecideDestination), self);
        }
    } catch (...) {
        TraceCaughtError("a download's start");
    }
}

gboolean TWebKitDownloads::OnDecideDestination(WebKitDownload* download, gchar* suggested,
                                               gpointer self) noexcept {
    auto* downloads = static_cast<TWebKitDownloads*>(self);
    g_signal_handlers_disconnect_by_data(download, self);
    try {
        const std::string file = downloads->ChooseSaveFile(suggested ? suggested : "");
        GCharPtr uri(file.empty() ? nullptr : g_filename_to_uri(file.c_str(), nullptr, nullptr));
        if (!uri) {
            webkit_download_cancel(download);
            return TRUE;
        }
        // The chooser asked before replacing a file.
        webkit_download_set_allow_overwrite(download, TRUE);
        webkit_download_set_destination(download, uri.get());
    } catch (...) {
        TraceCaughtError("a download's destination");
        webkit_download_cancel(download);
    }
    return TRUE;
}

} // namespace kiva
