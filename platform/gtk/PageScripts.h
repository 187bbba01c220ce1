#pragma once

// The platform's types come before the toolkit's headers, whose TRUE and FALSE are macros.
#include "WinTypes.h"

#include <webkit2/webkit2.h>

#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

namespace kiva {

// Owners of the engine's user-content records.
struct UserScriptUnref {
    void operator()(WebKitUserScript* s) const noexcept { webkit_user_script_unref(s); }
};
struct UserStyleSheetUnref {
    void operator()(WebKitUserStyleSheet* s) const noexcept { webkit_user_style_sheet_unref(s); }
};
using TUserScriptPtr = std::unique_ptr<WebKitUserScript, UserScriptUnref>;
using TUserStyleSheetPtr = std::unique_ptr<WebKitUserStyleSheet, UserStyleSheetUnref>;

// The viewer's scripts and style sheets for the pages of one content manager, which a view
// shares with the windows its pages open. The texts are resources compiled into the program.
//
// Scripts come in two kinds. Observers watch the page (frame completion, script errors, the
// editing state, right-click targets) and talk to the viewer through message handlers; they
// and their handlers live in a script world of the viewer's own, which pages can neither
// reach nor undo. Hooks replace functions of the page and so run in the page's world; they
// hold no message handler, and whatever they make the viewer do a page could do by itself.
class TPageScripts {
public:
    using TMessageHandler = std::function<void(JSCValue* message)>;

    explicit TPageScripts(WebKitUserContentManager* content);
    TPageScripts(const TPageScripts&) = delete;
    TPageScripts& operator=(const TPageScripts&) = delete;
    ~TPageScripts();

    // Runs the resource at the start of each document of the frames given, in the viewer's
    // world; what it posts to the handler of that name goes to onMessage. Errors that escape
    // onMessage are traced.
    void AddObserver(const char* resource, const char* handler,
                     WebKitUserContentInjectedFrames frames, TMessageHandler onMessage);
    // Runs the source at the start of each document of the frames given whose address matches
    // one of allow (every document when it is empty), in the page's world. Returns the script
    // for RemoveHook.
    WebKitUserScript* AddHook(const std::string& source, WebKitUserContentInjectedFrames frames,
                              const std::vector<std::string>& allow = {});
    void RemoveHook(WebKitUserScript* hook);
    // Replaces the viewer's style sheets by the given ones (empty texts are left out): the
    // first for top documents only, the second for every frame.
    void SetStyleSheets(const std::string& topOnly, const std::string& everyFrame);

    // The names of the viewer's message handlers.
    std::vector<std::string> HandlerNames() const;

    // The text of a resource; raises kiva::Exception when the program has none of that name.
    static std::string Text(const char* resource);
    // The name of the viewer's script world: new for each process, so no page can know it.
    static const std::string& WorldName();

private:
    struct TObserver {
        std::string Handler;
        TMessageHandler OnMessage;
    };
    static void OnScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result,
                                gpointer observer) noexcept;
    void AddStyleSheet(const std::string& source, WebKitUserContentInjectedFrames frames);

    WebKitUserContentManager* content_;
    std::list<TObserver> observers_;
    std::vector<TUserScriptPtr> scripts_;
    std::vector<TUserStyleSheetPtr> styleSheets_;
};

} // namespace kiva
