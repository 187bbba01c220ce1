// A preloaded library that writes a browser's start-up timeline as it runs, the same way for
// the viewer and for any other program built on GTK and WebKitGTK (MiniBrowser): it wraps the
// few library calls that mark the steps of a start and appends one line per step to a file.
// It also drives the measurements that need the page itself: a walk over the pages' "next"
// links and the seeks of a video. Loaded with LD_PRELOAD by race.py; never part of the viewer.
//
// Environment:
//   KIVA_TIMELINE_FILE    the file the lines are appended to (nothing happens without it)
//   KIVA_TIMELINE_ARCHIVE the archive whose opening, directory and options reads are marked
//   KIVA_TIMELINE_PAGE    a file whose first opening, in any process, marks the first bytes
//   KIVA_TIMELINE_WALK    after the first page has loaded, follow this many "next" links
//   KIVA_TIMELINE_MEDIA   after the first page has loaded, run seeks.js against its video
//   KIVA_TIMELINE_READS   mark every asynchronous read of a response body
//
// Each line: microseconds of CLOCK_MONOTONIC, process id, program name, event, details.

#include <dlfcn.h>
#include <fcntl.h>
#include <gtk/gtk.h>
#include <stdarg.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <string>

namespace {

std::string Program() {
    char path[512];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return "?";
    }
    path[n] = 0;
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

const char* Env(const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? v : nullptr;
}

void Mark(const char* event, const std::string& detail = std::string()) {
    static const char* file = Env("KIVA_TIMELINE_FILE");
    if (!file) {
        return;
    }
    static const std::string program = Program();
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[1024];
    const int n = std::snprintf(line, sizeof line, "%lld %d %s %s %s\n",
                                static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000,
                                static_cast<int>(getpid()), program.c_str(), event, detail.c_str());
    // One write per line with O_APPEND, so that the lines of several processes never mix.
    using TOpen = int (*)(const char*, int, ...);
    static auto realOpen = reinterpret_cast<TOpen>(dlsym(RTLD_NEXT, "open"));
    // The real close: the wrapped one takes the lock that a caller of this may hold.
    using TClose = int (*)(int);
    static auto realClose = reinterpret_cast<TClose>(dlsym(RTLD_NEXT, "close"));
    const int fd = realOpen(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (write(fd, line, static_cast<size_t>(std::min(n, static_cast<int>(sizeof line) - 1)))) {
        }
        realClose(fd);
    }
}

template <class F> F Next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// The descriptors open on the watched archive, and how many of them were closed so far: the
// first close ends the directory's load, the second the options' read.
std::mutex watchMutex;
std::set<int> archiveFds;
int archiveCloses = 0;
std::atomic<bool> pageSeen{false};

bool SameFile(const char* path, const char* watched) {
    if (!path || !watched) {
        return false;
    }
    if (std::strcmp(path, watched) == 0) {
        return true;
    }
    // file:// addresses and the archive may come with or without the folder's real path.
    char real[4096];
    return realpath(path, real) && std::strcmp(real, watched) == 0;
}

void Opened(const char* path, int fd) {
    if (fd < 0 || !path) {
        return;
    }
    static const char* archive = Env("KIVA_TIMELINE_ARCHIVE");
    static const char* page = Env("KIVA_TIMELINE_PAGE");
    if (archive && SameFile(path, archive)) {
        std::lock_guard lock(watchMutex);
        if (archiveFds.empty() && archiveCloses == 0) {
            Mark("archive-open");
        }
        archiveFds.insert(fd);
    } else if (page && !pageSeen && std::strcmp(path, page) == 0 && !pageSeen.exchange(true)) {
        Mark("first-bytes", "file");
    }
}

// ---- driving the page

WebKitWebView* theView = nullptr;
int walkLeft = 0;
int walkDone = 0;
bool walkStarted = false;

void RunScript(const char* script) {
    webkit_web_view_evaluate_javascript(theView, script, -1, nullptr, nullptr, nullptr, nullptr,
                                        nullptr);
}

gboolean TurnPage(gpointer) {
    Mark("click", std::to_string(walkDone + 1));
    // The link Sphinx marks with the access key N leads to the next page; the start page has
    // none, but links to the tutorial, which begins a chain of some hundred pages.
    RunScript("(function(){var a=document.querySelector('a[accesskey=\"N\"]')||"
              "document.querySelector('a[href$=\"tutorial/index.html\"]');"
              "if(a){a.click();}else{document.title='walk: no next link';}})()");
    return G_SOURCE_REMOVE;
}

void LoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer) {
    if (event != WEBKIT_LOAD_FINISHED) {
        return;
    }
    Mark("load-finished", webkit_web_view_get_uri(theView) ? webkit_web_view_get_uri(theView) : "");
    static const char* walk = Env("KIVA_TIMELINE_WALK");
    static const char* media = Env("KIVA_TIMELINE_MEDIA");
    if (walk) {
        if (!walkStarted) {
            walkStarted = true;
            walkLeft = std::atoi(walk);
            // The first page settles (and the start's work in the background ends) first.
            g_timeout_add(1500, TurnPage, nullptr);
            return;
        }
        ++walkDone;
        if (--walkLeft > 0) {
            g_idle_add(TurnPage, nullptr);
        } else {
            Mark("walk-done", std::to_string(walkDone));
        }
    } else if (media && !walkStarted) {
        walkStarted = true;
        gchar* text = nullptr;
        if (g_file_get_contents(media, &text, nullptr, nullptr)) {
            Mark("media-script");
            RunScript(text);
            g_free(text);
        }
    }
}

} // namespace

extern "C" {

__attribute__((constructor)) static void ShimLoaded() {
    Mark("process-start");
}

int open(const char* path, int flags, ...) {
    static auto real = Next<int (*)(const char*, int, ...)>("open");
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    const int fd = real(path, flags, mode);
    Opened(path, fd);
    return fd;
}

int open64(const char* path, int flags, ...) {
    static auto real = Next<int (*)(const char*, int, ...)>("open64");
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    const int fd = real(path, flags, mode);
    Opened(path, fd);
    return fd;
}

int openat(int dir, const char* path, int flags, ...) {
    static auto real = Next<int (*)(int, const char*, int, ...)>("openat");
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    const int fd = real(dir, path, flags, mode);
    if (dir == AT_FDCWD || path[0] == '/') {
        Opened(path, fd);
    }
    return fd;
}

int close(int fd) {
    static auto real = Next<int (*)(int)>("close");
    {
        std::lock_guard lock(watchMutex);
        if (archiveFds.erase(fd) != 0) {
            ++archiveCloses;
            Mark(archiveCloses == 1   ? "archive-directory-read"
                 : archiveCloses == 2 ? "options-read"
                                      : "archive-read");
        }
    }
    return real(fd);
}

// With KIVA_TIMELINE_READS, every asynchronous read of a response body by the engine is marked:
// how many pieces a page arrives in, and how long each waits for the next.
void g_input_stream_read_async(GInputStream* stream, void* buffer, gsize count, int priority,
                               GCancellable* cancellable, GAsyncReadyCallback callback,
                               gpointer data) {
    static auto real = Next<void (*)(GInputStream*, void*, gsize, int, GCancellable*,
                                     GAsyncReadyCallback, gpointer)>("g_input_stream_read_async");
    static const bool marked = Env("KIVA_TIMELINE_READS") != nullptr;
    if (marked) {
        Mark("read", std::string(G_OBJECT_TYPE_NAME(stream)) + " " + std::to_string(count) +
                         " priority " + std::to_string(priority));
    }
    real(stream, buffer, count, priority, cancellable, callback, data);
}

gboolean gtk_init_check(int* argc, char*** argv) {
    static auto real = Next<gboolean (*)(int*, char***)>("gtk_init_check");
    const gboolean ok = real(argc, argv);
    Mark("gtk-ready");
    return ok;
}

GdkDisplay* gdk_display_open_default() {
    static auto real = Next<GdkDisplay* (*)()>("gdk_display_open_default");
    GdkDisplay* display = real();
    Mark("display-open");
    return display;
}

// Entered once every library is loaded and initialised, before the program's own start.
using TMain = int (*)(int, char**, char**);
int __libc_start_main(TMain main, int argc, char** argv, void (*init)(), void (*fini)(),
                      void (*rtldFini)(), void* stack) {
    static auto real = Next<int (*)(TMain, int, char**, void (*)(), void (*)(), void (*)(), void*)>(
        "__libc_start_main");
    Mark("libraries-loaded");
    return real(main, argc, argv, init, fini, rtldFini, stack);
}

WebKitWebsiteDataManager* webkit_website_data_manager_new(const gchar* first, ...) {
    // The variadic properties cannot be passed on; both programs name at most a few.
    va_list args;
    va_start(args, first);
    WebKitWebsiteDataManager* manager = WEBKIT_WEBSITE_DATA_MANAGER(
        g_object_new_valist(WEBKIT_TYPE_WEBSITE_DATA_MANAGER, first, args));
    va_end(args);
    Mark("data-manager");
    return manager;
}

WebKitWebsiteDataManager* webkit_website_data_manager_new_ephemeral() {
    static auto real =
        Next<WebKitWebsiteDataManager* (*)()>("webkit_website_data_manager_new_ephemeral");
    WebKitWebsiteDataManager* manager = real();
    Mark("data-manager", "ephemeral");
    return manager;
}

WebKitWebContext*
webkit_web_context_new_with_website_data_manager(WebKitWebsiteDataManager* manager) {
    static auto real = Next<WebKitWebContext* (*)(WebKitWebsiteDataManager*)>(
        "webkit_web_context_new_with_website_data_manager");
    WebKitWebContext* context = real(manager);
    Mark("web-context");
    return context;
}

GSubprocess* g_subprocess_launcher_spawnv(GSubprocessLauncher* launcher, const gchar* const* argv,
                                          GError** error) {
    static auto real = Next<GSubprocess* (*)(GSubprocessLauncher*, const gchar* const*, GError**)>(
        "g_subprocess_launcher_spawnv");
    const char* name = argv && argv[0] ? std::strrchr(argv[0], '/') : nullptr;
    Mark("spawn", name ? name + 1 : (argv && argv[0] ? argv[0] : "?"));
    return real(launcher, argv, error);
}

void webkit_web_view_load_uri(WebKitWebView* view, const gchar* uri) {
    static auto real = Next<void (*)(WebKitWebView*, const gchar*)>("webkit_web_view_load_uri");
    if (!theView) {
        theView = view;
        g_signal_connect(view, "load-changed", G_CALLBACK(LoadChanged), nullptr);
        Mark("start-page-requested", uri ? uri : "");
    }
    real(view, uri);
}

// The scheme's requests are marked as they reach the program, which shows how long a request
// waits for a busy main loop and how long the program takes to answer it.
struct TSchemeHook {
    WebKitURISchemeRequestCallback Callback;
    gpointer Data;
    GDestroyNotify Destroy;
};

void DestroySchemeHook(gpointer data) {
    auto* hook = static_cast<TSchemeHook*>(data);
    if (hook->Destroy) {
        hook->Destroy(hook->Data);
    }
    delete hook;
}

void HookedSchemeRequest(WebKitURISchemeRequest* request, gpointer data) {
    auto* hook = static_cast<TSchemeHook*>(data);
    Mark("request", webkit_uri_scheme_request_get_uri(request));
    hook->Callback(request, hook->Data);
}

void webkit_web_context_register_uri_scheme(WebKitWebContext* context, const gchar* scheme,
                                            WebKitURISchemeRequestCallback callback, gpointer data,
                                            GDestroyNotify destroy) {
    static auto real =
        Next<void (*)(WebKitWebContext*, const gchar*, WebKitURISchemeRequestCallback, gpointer,
                      GDestroyNotify)>("webkit_web_context_register_uri_scheme");
    real(context, scheme, HookedSchemeRequest, new TSchemeHook{callback, data, destroy},
         DestroySchemeHook);
}

void webkit_uri_scheme_request_finish(WebKitURISchemeRequest* request, GInputStream* stream,
                                      gint64 length, const gchar* type) {
    static auto real = Next<void (*)(WebKitURISchemeRequest*, GInputStream*, gint64, const gchar*)>(
        "webkit_uri_scheme_request_finish");
    if (!pageSeen.exchange(true)) {
        Mark("first-bytes", webkit_uri_scheme_request_get_uri(request));
    }
    Mark("answered", webkit_uri_scheme_request_get_uri(request));
    real(request, stream, length, type);
}

guint gtk_statusbar_push(GtkStatusbar* bar, guint context, const gchar* text) {
    static auto real = Next<guint (*)(GtkStatusbar*, guint, const gchar*)>("gtk_statusbar_push");
    Mark("status", text ? text : "");
    return real(bar, context, text);
}

void gtk_window_set_title(GtkWindow* window, const gchar* title) {
    static auto real = Next<void (*)(GtkWindow*, const gchar*)>("gtk_window_set_title");
    Mark("title", title ? title : "");
    // The processor time the program spent so far, on every thread, beside the wall time.
    timespec cpu{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
    Mark("cpu-ms", std::to_string(cpu.tv_sec * 1000 + cpu.tv_nsec / 1000000));
    real(window, title);
}

} // extern "C"
