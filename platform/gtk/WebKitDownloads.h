#pragma once

// The platform's types come before the toolkit's headers, whose TRUE and FALSE are macros.
#include "ComObj.h"
#include "WebBrowser.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <functional>
#include <memory>
#include <string>

namespace kiva {

class TWebKitSite;

// What the pages of one browser offer for saving. Nothing is saved anywhere the reader did
// not choose: every download asks where to save, over the browser's window. The book's own
// entries are read from the session, which the engine's downloads cannot read.
class TWebKitDownloads {
public:
    // container is the browser's widget, whose window the save dialog goes over; ours tells
    // the views whose downloads these are.
    TWebKitDownloads(GtkWidget* container, TWebKitSite& site,
                     std::function<bool(WebKitWebView*)> ours);
    TWebKitDownloads(const TWebKitDownloads&) = delete;
    TWebKitDownloads& operator=(const TWebKitDownloads&) = delete;
    ~TWebKitDownloads();

    // Watches the context's downloads from now on; once is enough. The book's entries are
    // read through services, the book's own (see TWebKitContext::RequestServices).
    void Watch(WebKitWebContext* context, IServiceProvider* services);
    // Saves a book entry where the reader chooses, once the current decision is over. A
    // failure raises the navigate-error event with the address.
    void SaveEntryLater(const std::string& uri, const std::string& suggested);

private:
    // The save dialog: the chosen file, or "" when cancelled.
    std::string ChooseSaveFile(const std::string& suggested);
    void SaveEntry(const std::string& uri, const std::string& name);
    static void OnDownloadStarted(WebKitWebContext*, WebKitDownload* download,
                                  gpointer self) noexcept;
    static gboolean OnDecideDestination(WebKitDownload* download, gchar* suggested,
                                        gpointer self) noexcept;

    GtkWidget* container_;
    TWebKitSite& site_;
    std::function<bool(WebKitWebView*)> ours_;
    WebKitWebContext* context_ = nullptr;
    ComPtr<IServiceProvider> services_;
    // Saves waiting for the main loop find it gone when the downloads go first.
    std::shared_ptr<int> token_ = std::make_shared<int>();
};

} // namespace kiva
