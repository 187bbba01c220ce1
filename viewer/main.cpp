// The program entry of Kivabook Viewer: the process's start and end around the main window.

// The platform's headers come before GLib's, whose TRUE and FALSE macros they would clash with.
#include "ComObj.h"
#include "ComServer.h"
#include "Dialogs.h"
#include "OurNSHandler.h"
#include "Unit1.h"
#include "WebKitBrowser.h"

#include "GtkDialogs.h"
#include "MainWindow.h"
#include "ViewerMarker.h"

#include <gtkmm.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace {

// kvb pack --viewer takes only a program that carries these bytes.
[[gnu::used]] constexpr auto kViewerMarker = kiva::UnmaskedViewerMarker();

// The full path of the running executable, which may carry the archive at its end.
std::string OwnExecutable() {
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) {
            return std::string();
        }
        if (static_cast<std::size_t>(n) < buffer.size()) {
            return std::string(buffer.data(), static_cast<std::size_t>(n));
        }
        buffer.resize(buffer.size() * 2);
    }
}

// The last steps of the process, in the order the units were finalised: the apartment and
// the registration references first, then the handler's temporary files, then the class
// objects.
void EndProcess() {
    kiva::OleUninitialize();
    kiva::ReleaseProtocolReferences();
    kiva::OurNSHandlerFinal();
    kiva::ComServer().Finalize();
}

int RunViewer(const std::vector<std::string>& args) {
    if (!gtk_init_check(nullptr, nullptr)) {
        std::fprintf(stderr, "kivabook-viewer: cannot open the display\n");
        return 1;
    }
    Gtk::Main::init_gtkmm_internals();
    // An error that escapes an event handler goes to the default error display, and the
    // program goes on.
    Glib::add_exception_handler([] {
        try {
            throw;
        } catch (const std::exception& e) {
            kiva::ShowDefaultError(e.what());
        } catch (const Glib::Error& e) {
            kiva::ShowDefaultError(e.what());
        }
    });
    kiva::SetApplicationTitle(kiva::kApplicationTitle);
    g_set_application_name(kiva::kApplicationTitle);

    kiva::TGtkDialogs dialogs;
    kiva::TDialogsScope dialogsInUse(dialogs);
    const kiva::TWebKitBrowserRegistration browserClass = kiva::RegisterWebKitBrowserClass();

    auto window = std::make_unique<kiva::TMainWindow>();
    kiva::ComServer().OnLastRelease = [w = window.get()] { w->RequestQuit(); };
    std::unique_ptr<kiva::TForm1> form;
    try {
        form = std::make_unique<kiva::TForm1>(*window, kiva::TStartupParams{OwnExecutable(), args});
    } catch (const std::exception& e) {
        kiva::ShowDefaultError(e.what());
        return 1;
    }
    window->SetForm(form.get());
    // Every dialog of the start comes before the window is shown.
    form->Create();
    if (!window->QuitRequested()) {
        dialogs.SetParentWindow(window->gobj());
        window->show();
        gtk_main();
    }
    window->hide();
    dialogs.SetParentWindow(nullptr);
    form->Destroy();
    window->SetForm(nullptr);
    kiva::ComServer().OnLastRelease = nullptr;
    form.reset();
    window.reset();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    kiva::OurNSHandlerInit();
    kiva::OleInitialize(nullptr);
    int status = 0;
    try {
        // With a registration switch the program only writes or removes its registry entries.
        if (kiva::ComServer().Initialize(args)) {
            status = RunViewer(args);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kivabook-viewer: %s\n", e.what());
        status = 1;
    }
    EndProcess();
    return status;
}
