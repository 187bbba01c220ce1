// The platform's headers come before the toolkit's, whose TRUE and FALSE are macros.
#include "EmbeddedWB.h"
#include "SecurityManager.h"
#include "UrlMon.h"
#include "WebBrowser.h"
#include "WebKitBrowser.h"
#include "WebKitCrossOrigin.h"
#include "WebKitDocument.h"
#include "WebSession.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kiva {
namespace {

// A one-pixel PNG image.
const unsigned char kDotPng[] = {
    0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48,
    0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00,
    0x00, 0x1F, 0x15, 0xC4, 0x89, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x44, 0x41, 0x54, 0x78,
    0x9C, 0x63, 0xF8, 0xCF, 0xC0, 0xF0, 0x1F, 0x00, 0x05, 0x00, 0x01, 0xFF, 0x89, 0x99,
    0x3D, 0x1D, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};

const std::map<std::string, std::string>& Site() {
    static const std::map<std::string, std::string> site = {
        {"index.html", "<!DOCTYPE html><html><head><title>Start</title>"
                       "<link rel=\"stylesheet\" href=\"style.css\">"
                       "<script src=\"app.js\"></script></head>"
                       "<body><p><a id=\"a\" href=\"second.html\">next</a></p>"
                       "<img id=\"dot\" src=\"dot.png\"></body></html>"},
        {"style.css", "body { background-color: #2a7ab0; }"},
        {"app.js", "document.title = 'Script ran';"},
        {"dot.png", std::string(reinterpret_cast<const char*>(kDotPng), sizeof kDotPng)},
        {"second.html", "<!DOCTYPE html><title>Second</title><p>second</p>"},
        {"closer.html", "<!DOCTYPE html><title>Closer</title>"
                        "<script>setTimeout(function(){window.close();},0);</script>"},
        {"opener.html", "<!DOCTYPE html><title>Opener</title>"
                        "<a id=\"a\" target=\"_blank\" href=\"second.html\">new</a>"
                        "<a id=\"s\" target=\"_blank\" href=\"selfclose.html\">self</a>"},
        {"selfclose.html", "<!DOCTYPE html><html><head><title>Self closing</title>"
                           "<script>window.close();</script></head><body>x</body></html>"},
        {"tall.html", "<!DOCTYPE html><title>Tall</title><div style=\"height:5000px\">x</div>"},
        {"media.html", "<!DOCTYPE html><title>Media</title><p>x</p><div><video id=\"v\" "
                       "src=\"clip.webm\"></video></div><audio><source id=\"s\" "
                       "src=\"sub/s.ogg\"><source id=\"o\" src=\"https://example.org/o.ogg\">"
                       "</audio><img id=\"i\" src=\"dot.png\">"},
        {"text.html", "<!DOCTYPE html><title>Text</title>"
                      "<p id=\"p\" style=\"font-size:20px;margin:0\">Kiva words on a kiva page</p>"
                      "<img id=\"i\" src=\"dot.png\" width=\"40\" height=\"40\">"
                      "<input id=\"t\" type=\"text\"><input id=\"c\" type=\"checkbox\">"},
        {"error.html", "<!DOCTYPE html><title>Error</title>\n<script>\n  noSuchFunction();\n"
                       "</script>"},
        {"keys.html", "<!DOCTYPE html><title>Keys</title><input id=\"i\" autofocus><script>"
                      "addEventListener('keydown', function (e) {"
                      "document.title = 'page saw ' + e.key; });</script>"},
        {"alert.html", "<!DOCTYPE html><title>Alert</title><script>"
                       "document.title = confirm('Go on?') ? 'confirmed' : 'declined';</script>"},
        {"form.html",
         "<!DOCTYPE html><title>Form</title><form id=\"f\" action=\"second.html\">"
         "<input type=\"hidden\" name=\"q\" value=\"1\"><button style=\"position:fixed;"
         "left:0;top:0;width:200px;height:100px\">go</button></form>"},
        {"badframe.html", "<!DOCTYPE html><title>Bad frame</title><img src=\"nothing.png\">"
                          "<iframe src=\"gone.html\"></iframe>"},
        {"menus.html",
         "<!DOCTYPE html><title>Menus</title><style>body{margin:0}*{font-size:40px}</style>"
         "<a href=\"second.html\" style=\"position:fixed;left:0;top:0\">link</a>"
         "<img src=\"dot.png\" style=\"position:fixed;left:0;top:100px;width:80px\">"
         "<table style=\"position:fixed;left:0;top:200px\"><tr><td>cell</td></tr></table>"
         "<button style=\"position:fixed;left:0;top:300px\">button</button>"
         "<p style=\"position:fixed;left:0;top:400px;margin:0\">text</p>"},
        {"frames.html", "<!DOCTYPE html><title>Frames</title>"
                        "<iframe id=\"f\" name=\"inner\" src=\"second.html\"></iframe>"},
    };
    return site;
}

// A protocol handler that serves the small site above from memory.
class TSiteProtocol final : public TComObjectWith<IInternetProtocol> {
public:
    HRESULT Start(LPCWSTR url, IInternetProtocolSink* sink, IInternetBindInfo*, DWORD,
                  HANDLE_PTR) override {
        const std::string text = WideToAnsi(WideView(url));
        const std::string root = "kiva://bundle/";
        if (text.compare(0, root.size(), root) != 0) {
            return INET_E_USE_DEFAULT_PROTOCOLHANDLER;
        }
        auto it = Site().find(text.substr(root.size()));
        if (it == Site().end()) {
            return S_FALSE;
        }
        data_ = it->second;
        const auto size = static_cast<ULONG>(data_.size());
        sink->ReportData(BSCF_FIRSTDATANOTIFICATION | BSCF_LASTDATANOTIFICATION |
                             BSCF_DATAFULLYAVAILABLE,
                         size, size);
        sink->ReportResult(S_OK, 200, nullptr);
        return S_OK;
    }
    HRESULT Continue(PROTOCOLDATA*) override { return S_OK; }
    HRESULT Abort(HRESULT, DWORD) override { return S_OK; }
    HRESULT Terminate(DWORD) override { return S_OK; }
    HRESULT Suspend() override { return E_NOTIMPL; }
    HRESULT Resume() override { return E_NOTIMPL; }
    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        const std::size_t n = std::min<std::size_t>(cb, data_.size() - position_);
        std::memcpy(pv, data_.data() + position_, n);
        position_ += n;
        *pcbRead = static_cast<ULONG>(n);
        return n ? S_OK : S_FALSE;
    }
    HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT LockRequest(DWORD) override { return S_OK; }
    HRESULT UnlockRequest() override { return S_OK; }

protected:
    bool GetInterface(REFIID iid, void** object) override {
        // The listed interface answers for its base too.
        if (iid == IInternetProtocolRoot::kIID) {
            *object = static_cast<IInternetProtocol*>(this);
            return true;
        }
        return TComObjectWith::GetInterface(iid, object);
    }

private:
    std::string data_;
    std::size_t position_ = 0;
};

class TSiteFactory final : public TComObjectWith<IClassFactory> {
public:
    HRESULT CreateInstance(IUnknown*, REFIID iid, void** object) override {
        ComPtr<TSiteProtocol> protocol(new TSiteProtocol());
        return protocol->QueryInterface(iid, object);
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
};

constexpr CLSID kSiteClass = GuidLiteral("{5E0C7E41-2B8A-4F43-9D0B-6A1C2F3E4D50}");

// Runs the toolkit's loop until the condition holds; a guard against a hang, not a timing.
bool PumpUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        g_main_context_iteration(nullptr, FALSE);
        if (!g_main_context_pending(nullptr)) {
            g_usleep(2000);
        }
    }
    return true;
}

// The host's book, as far as the browser asks for it: its web session.
class TTestWebSession final : public TComObjectWith<IWebSessionProvider> {
public:
    TWebSession* WebSession() override { return &Session; }
    TWebSession Session;
};

class WebKitBrowser : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (std::getenv("DISPLAY") && gtk_init_check(nullptr, nullptr)) {
            available_ = true;
        }
    }

    void SetUp() override {
        if (!available_) {
            GTEST_SKIP() << "no display";
        }
        registration_ = RegisterWebKitBrowserClass();
        CoInternetGetSession(0, session_.ReleaseAndGetAddressOf(), 0);
        factory_ = ComPtr<TSiteFactory>(new TSiteFactory());
        session_->RegisterNameSpace(factory_.Get(), kSiteClass, u"kiva", 0, nullptr, 0);

        wb_ = std::make_unique<TEmbeddedWB>(nullptr);
        book_ = ComPtr<TTestWebSession>(new TTestWebSession());
        wb_->OnQueryService = [this](TComponent*, const GUID& rsid, const GUID& iid,
                                     IUnknown*& obj) {
            if (rsid == SID_SKivaWebSession) {
                book_->QueryInterface(iid, reinterpret_cast<void**>(&obj));
            }
        };
        wb_->OnBeforeNavigate2 = [this](TComponent*, IUnknown*, std::string& url, std::int32_t,
                                        const std::string&, const std::string&, const std::string&,
                                        bool& cancel) {
            Log("before " + url);
            cancel = url == cancelUrl_;
            if (url == "about:close") {
                // The viewer closes its window from here: it leaves the page for a blank one
                // and waits for it, inside the pending decision.
                cancel = true;
                wb_->Navigate("about:blank");
                closedFromHandler_ = PumpUntil([&] { return Logged("complete about:blank"); });
            }
        };
        wb_->OnDocumentComplete = [this](TComponent*, IUnknown*, const std::string& url) {
            Log("complete " + url);
        };
        wb_->OnTitleChange = [this](TComponent*, const std::string& text) { title_ = text; };
        wb_->OnNavigateError = [this](TComponent*, IUnknown*, const std::string& url,
                                      const std::string&, std::int32_t status, bool&) {
            Log("error " + url + " " + std::to_string(status));
        };
        wb_->OnCommandStateChange = [this](TComponent*, std::int32_t command, bool enable) {
            (command == CSC_NAVIGATEBACK ? canGoBack_ : canGoForward_) = enable;
        };
        wb_->OnWindowClosing = [this](TComponent*, bool, bool& cancel) {
            Log("closing");
            cancel = true;
        };
        window_ = gtk_offscreen_window_new();
        gtk_window_set_default_size(GTK_WINDOW(window_), 800, 600);
        gtk_container_add(GTK_CONTAINER(window_), static_cast<GtkWidget*>(wb_->NativeWidget()));
        gtk_widget_show_all(window_);
    }

    void TearDown() override {
        if (!available_) {
            return;
        }
        wb_.reset();
        gtk_widget_destroy(window_);
        session_->UnregisterNameSpace(factory_.Get(), u"kiva");
        // The book's context ends after the browser, as the book's session ends it.
        book_->Session.Engine.reset();
    }

    void Log(const std::string& line) { log_.push_back(line); }
    bool Logged(const std::string& line) const {
        return std::find(log_.begin(), log_.end(), line) != log_.end();
    }
    bool Load(const std::string& url) {
        wb_->Navigate(url);
        return PumpUntil([&] { return Logged("complete " + url); });
    }

    // The control's widget holds the view once the first page was asked for.
    WebKitWebView* View() {
        GList* children =
            gtk_container_get_children(GTK_CONTAINER(static_cast<GtkWidget*>(wb_->NativeWidget())));
        WebKitWebView* view = children ? WEBKIT_WEB_VIEW(children->data) : nullptr;
        g_list_free(children);
        return view;
    }

    std::string Evaluate(const std::string& script) {
        struct Result {
            bool done = false;
            std::string text;
        } result;
        webkit_web_view_evaluate_javascript(
            View(), script.c_str(), -1, nullptr, nullptr, nullptr,
            [](GObject* view, GAsyncResult* res, gpointer data) {
                auto* r = static_cast<Result*>(data);
                GError* error = nullptr;
                JSCValue* value =
                    webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(view), res, &error);
                if (value) {
                    char* text = jsc_value_to_string(value);
                    r->text = text ? text : "";
                    g_free(text);
                    g_object_unref(value);
                } else {
                    r->text = std::string("error: ") + (error ? error->message : "");
                    g_clear_error(&error);
                }
                r->done = true;
            },
            &result);
        PumpUntil([&] { return result.done; });
        return result.text;
    }

    // A key pressed on the view, as the toolkit delivers it (X numbers keys from 8).
    void PressKey(guint keyval, guint state, guint16 code) {
        gtk_widget_grab_focus(GTK_WIDGET(View()));
        GdkEvent* event = gdk_event_new(GDK_KEY_PRESS);
        event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(View()))));
        event->key.keyval = keyval;
        event->key.state = state;
        event->key.hardware_keycode = code;
        event->key.time = keyTime_ += 10;
        gdk_event_set_device(
            event, gdk_seat_get_keyboard(gdk_display_get_default_seat(gdk_display_get_default())));
        gtk_widget_event(GTK_WIDGET(View()), event);
        gdk_event_free(event);
    }

    // A click on the view at (x, y).
    void Click(guint button, double x, double y) {
        GtkWidget* view = GTK_WIDGET(View());
        for (const GdkEventType type : {GDK_BUTTON_PRESS, GDK_BUTTON_RELEASE}) {
            GdkEvent* event = gdk_event_new(type);
            event->button.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(view)));
            event->button.button = button;
            event->button.x = x;
            event->button.y = y;
            event->button.time = keyTime_ += 10;
            gdk_event_set_device(event, gdk_seat_get_pointer(gdk_display_get_default_seat(
                                            gdk_display_get_default())));
            gtk_widget_event(view, event);
            gdk_event_free(event);
        }
    }

    static inline bool available_ = false;
    guint32 keyTime_ = 1000;
    TWebKitBrowserRegistration registration_;
    ComPtr<IInternetSession> session_;
    ComPtr<TSiteFactory> factory_;
    ComPtr<TTestWebSession> book_;
    std::unique_ptr<TEmbeddedWB> wb_;
    GtkWidget* window_ = nullptr;
    std::vector<std::string> log_;
    std::string title_;
    std::string cancelUrl_;
    bool closedFromHandler_ = false;
    bool canGoBack_ = false;
    bool canGoForward_ = false;
};

TEST_F(WebKitBrowser, ServesAPageWithItsStyleSheetScriptAndImageFromTheSession) {
    ASSERT_TRUE(Load("kiva://bundle/index.html"));
    EXPECT_TRUE(Logged("before kiva://bundle/index.html"));
    ASSERT_TRUE(PumpUntil([&] { return title_ == "Script ran"; })) << title_;
    EXPECT_EQ(Evaluate("getComputedStyle(document.body).backgroundColor"), "rgb(42, 122, 176)");
    EXPECT_EQ(Evaluate("document.getElementById('dot').naturalWidth"), "1");
    EXPECT_EQ(wb_->LocationURL(), "kiva://bundle/index.html");
}

TEST_F(WebKitBrowser, AMissingEntryIsANavigationErrorAndStillCompletes) {
    ASSERT_TRUE(Load("kiva://bundle/missing.html"));
    EXPECT_TRUE(
        Logged("error kiva://bundle/missing.html " + std::to_string(INET_E_RESOURCE_NOT_FOUND)));
}

TEST_F(WebKitBrowser, WithoutTheNameSpaceTheSchemeIsUnknown) {
    session_->UnregisterNameSpace(factory_.Get(), u"kiva");
    ASSERT_TRUE(Load("kiva://bundle/index.html"));
    EXPECT_TRUE(
        Logged("error kiva://bundle/index.html " + std::to_string(INET_E_UNKNOWN_PROTOCOL)));
}

TEST_F(WebKitBrowser, ACancelledNavigationLeavesThePageWhereItWas) {
    ASSERT_TRUE(Load("kiva://bundle/second.html"));
    cancelUrl_ = "kiva://bundle/index.html";
    wb_->Navigate(cancelUrl_);
    ASSERT_TRUE(Load("about:blank"));
    EXPECT_TRUE(Logged("before kiva://bundle/index.html"));
    EXPECT_FALSE(Logged("complete kiva://bundle/index.html"));
}

TEST_F(WebKitBrowser, BlankPageCompletesAndHistoryReportsBackAndForward) {
    ASSERT_TRUE(Load("kiva://bundle/second.html"));
    ASSERT_TRUE(Load("about:blank"));
    EXPECT_TRUE(PumpUntil([&] { return canGoBack_; }));
    wb_->GoBack();
    EXPECT_TRUE(PumpUntil([&] { return canGoForward_ && !canGoBack_; }));
}

TEST_F(WebKitBrowser, TheBooksUserAgentReachesThePage) {
    const std::string agent = "KivaTestAgent/1.0";
    book_->Session.UserAgent = agent;
    ASSERT_TRUE(Load("kiva://bundle/second.html"));
    EXPECT_EQ(Evaluate("navigator.userAgent"), agent);
}

TEST_F(WebKitBrowser, MediaOfTheArchivesPagesPlaysFromTheMirror) {
    book_->Session.Mirror =
        TNameSpaceMirror{"kiva://bundle/", "http://127.0.0.1:9/p/", {"big.bin"}};
    ASSERT_TRUE(Load("kiva://bundle/second.html"));
    const std::string mirror = "http://127.0.0.1:9/p/";
    // Set as a property, as an attribute, in markup, through the Audio constructor.
    EXPECT_EQ(Evaluate("var v = document.createElement('video');"
                       "v.src = 'media/a%20b.webm#t=1'; v.src"),
              mirror + "media/a%20b.webm#t=1");
    EXPECT_EQ(Evaluate("var s = document.createElement('source');"
                       "s.setAttribute('src', '/x.ogg'); s.getAttribute('src')"),
              mirror + "x.ogg");
    Evaluate("document.body.innerHTML = '<audio id=\"m\" src=\"../y.wav\"></audio>'; 1");
    EXPECT_EQ(Evaluate("document.getElementById('m').src"), mirror + "y.wav");
    EXPECT_EQ(Evaluate("new Audio('z.mp3').src"), mirror + "z.mp3");
    // In the page's own markup, and once more when a script changes the attribute later.
    ASSERT_TRUE(Load("kiva://bundle/media.html"));
    EXPECT_EQ(Evaluate("document.getElementById('v').getAttribute('src')"), mirror + "clip.webm");
    EXPECT_EQ(Evaluate("document.getElementById('s').getAttribute('src')"), mirror + "sub/s.ogg");
    EXPECT_EQ(Evaluate("document.getElementById('o').getAttribute('src')"),
              "https://example.org/o.ogg");
    EXPECT_EQ(Evaluate("document.getElementById('i').getAttribute('src')"), "dot.png");
    Evaluate("Element.prototype.removeAttribute.call(document.getElementById('v'), 'src');"
             "document.getElementById('v').outerHTML = '<video id=\"w\" src=\"later.webm\">';"
             "1");
    EXPECT_EQ(Evaluate("document.getElementById('w').getAttribute('src')"), mirror + "later.webm");
    // A fragment arrives whole, its media inside the element that is added.
    Evaluate("document.body.insertAdjacentHTML('beforeend', "
             "'<div><p><video id=\"d\" src=\"deep.webm\"></video></p></div>'); 1");
    EXPECT_EQ(Evaluate("document.getElementById('d').getAttribute('src')"), mirror + "deep.webm");
    // Other elements and other addresses keep theirs.
    EXPECT_EQ(Evaluate("var i = new Image(); i.src = 'a.png'; i.src"), "kiva://bundle/a.png");
    EXPECT_EQ(Evaluate("var w = document.createElement('video');"
                       "w.src = 'https://example.org/v.webm'; w.src"),
              "https://example.org/v.webm");
}

TEST_F(WebKitBrowser, ScrollBarsOffAppliesToTheNextDocument) {
    ASSERT_TRUE(Load("kiva://bundle/tall.html"));
    EXPECT_NE(Evaluate("getComputedStyle(document.documentElement).scrollbarWidth"), "none");
    auto options = wb_->UserInterfaceOptions();
    options.Include(TUserInterfaceOption::DontUseScrollBars);
    wb_->SetUserInterfaceOptions(options);
    ASSERT_TRUE(Load("kiva://bundle/second.html"));
    ASSERT_TRUE(Load("kiva://bundle/tall.html"));
    EXPECT_EQ(Evaluate("getComputedStyle(document.documentElement).scrollbarWidth"), "none");
}

// A visible window of the program other than the test's own, by title.
GtkWidget* TopLevelTitled(const std::string& title) {
    GList* windows = gtk_window_list_toplevels();
    GtkWidget* found = nullptr;
    for (GList* w = windows; w; w = w->next) {
        const char* t = gtk_window_get_title(GTK_WINDOW(w->data));
        if (t && title == t && gtk_widget_get_visible(GTK_WIDGET(w->data))) {
            found = GTK_WIDGET(w->data);
        }
    }
    g_list_free(windows);
    return found;
}

TEST_F(WebKitBrowser, NewWindowsOpenAsPlainWindowsOfTheirOwnAfterTheHostAgreed) {
    ASSERT_TRUE(Load("kiva://bundle/opener.html"));
    Evaluate("document.getElementById('a').click(); 1");
    ASSERT_TRUE(PumpUntil([&] { return TopLevelTitled("Second") != nullptr; }));
    EXPECT_TRUE(Logged("before kiva://bundle/second.html"));
    EXPECT_EQ(wb_->LocationURL(), "kiva://bundle/opener.html");
    // A script's window.open gets a live window, which it may close again; the host's page
    // and window stay.
    EXPECT_EQ(Evaluate("window.w = window.open('tall.html'); w !== null"), "true");
    ASSERT_TRUE(PumpUntil([&] { return TopLevelTitled("Tall") != nullptr; }));
    Evaluate("w.close(); 1");
    EXPECT_TRUE(PumpUntil([&] { return TopLevelTitled("Tall") == nullptr; }));
    EXPECT_FALSE(Logged("closing"));
    // A new window whose page the host refuses never appears.
    cancelUrl_ = "kiva://bundle/index.html";
    Evaluate("window.open('index.html'); 1");
    ASSERT_TRUE(PumpUntil([&] { return Logged("before kiva://bundle/index.html"); }));
    ASSERT_TRUE(Load("kiva://bundle/second.html"));
    EXPECT_EQ(TopLevelTitled("Script ran"), nullptr);
}

TEST_F(WebKitBrowser, TheHostMayWaitForABlankPageInsideTheNavigationItCancels) {
    ASSERT_TRUE(Load("kiva://bundle/second.html"));
    wb_->Navigate("about:close");
    ASSERT_TRUE(PumpUntil([&] { return closedFromHandler_; }));
    EXPECT_FALSE(Logged("complete about:close"));
    EXPECT_EQ(wb_->LocationURL(), "about:blank");
}

TEST_F(WebKitBrowser, EveryFrameNavigationAsksTheHost) {
    ASSERT_TRUE(Load("kiva://bundle/frames.html"));
    EXPECT_TRUE(PumpUntil([&] { return Logged("before kiva://bundle/second.html"); }));
    EXPECT_TRUE(PumpUntil([&] { return Logged("complete kiva://bundle/second.html"); }));
    Evaluate("document.getElementById('f').contentWindow.location.href = 'tall.html'; 1");
    EXPECT_TRUE(PumpUntil([&] { return Logged("before kiva://bundle/tall.html"); }));
}

TEST_F(WebKitBrowser, AFramesMissingPageIsANavigationErrorAndAMissingImageIsNot) {
    ASSERT_TRUE(Load("kiva://bundle/badframe.html"));
    EXPECT_TRUE(PumpUntil([&] {
        return Logged("error kiva://bundle/gone.html " + std::to_string(INET_E_RESOURCE_NOT_FOUND));
    }));
    EXPECT_FALSE(
        Logged("error kiva://bundle/nothing.png " + std::to_string(INET_E_RESOURCE_NOT_FOUND)));
}

TEST_F(WebKitBrowser, RightClicksAskTheHostWithTheKindOfWhatTheyLandIn) {
    std::vector<DWORD> ids;
    wb_->DisabledPopupMenus = {TIEPopupMenu::rcmAll};
    wb_->OnShowContextMenu = [&](TComponent*, DWORD id, const POINT*, IUnknown*, IUnknown*,
                                 HRESULT&) { ids.push_back(id); };
    ASSERT_TRUE(Load("kiva://bundle/menus.html"));
    ASSERT_TRUE(PumpUntil([&] { return title_ == "Menus"; }));
    auto rightClick = [&](double y) { Click(GDK_BUTTON_SECONDARY, 10, y); };
    // Link, image, table, control, plain text.
    const double spots[] = {20, 120, 230, 330, 420};
    for (std::size_t i = 0; i < std::size(spots); ++i) {
        rightClick(spots[i]);
        ASSERT_TRUE(PumpUntil([&] { return ids.size() == i + 1; })) << i;
    }
    EXPECT_EQ(ids, (std::vector<DWORD>{5, 1, 3, 2, 0}));
}

TEST_F(WebKitBrowser, AnUncaughtScriptErrorReachesTheHostWithItsDetails) {
    std::string details;
    wb_->ScriptErrorAction = TScriptErrorAction::eaAskUser;
    wb_->OnScriptError = [&](TComponent*, const std::string& line, const std::string& character,
                             const std::string&, const std::string& message, const std::string& url,
                             TScriptErrorAction&) {
        details = line + ":" + character + " " + url + " " + message;
    };
    ASSERT_TRUE(Load("kiva://bundle/error.html"));
    ASSERT_TRUE(PumpUntil([&] { return !details.empty(); }));
    EXPECT_EQ(details.substr(0, details.find(' ', details.find(' ') + 1)),
              "3:17 kiva://bundle/error.html");
    EXPECT_NE(details.find("noSuchFunction"), std::string::npos) << details;
}

TEST_F(WebKitBrowser, KeysPassTheHostBeforeThePage) {
    std::vector<std::string> seen;
    wb_->OnKeyDown = [&](TComponent*, std::uint16_t& key, int scan, TShiftState shift) {
        seen.push_back("down " + std::to_string(key) + " " + std::to_string(scan) +
                       (shift.Contains(TShiftStateMember::ssCtrl) ? " ctrl" : ""));
        if (key == 'Q') {
            key = 0;
        }
    };
    wb_->OnMaskedCtrlChar = [&](TComponent*, char c) {
        seen.push_back(std::string("masked ") + c);
    };
    ASSERT_TRUE(Load("kiva://bundle/keys.html"));
    auto press = [&](guint keyval, guint state, guint16 code) { PressKey(keyval, state, code); };
    press(GDK_KEY_n, GDK_CONTROL_MASK, 57 + 8);
    press(GDK_KEY_q, 0, 16 + 8);
    press(GDK_KEY_x, 0, 45 + 8);
    ASSERT_TRUE(PumpUntil([&] { return title_ == "page saw x"; })) << title_;
    EXPECT_EQ(seen, (std::vector<std::string>{"down 78 57 ctrl", "masked N", "down 81 16",
                                              "down 88 45"}));
}

TEST_F(WebKitBrowser, ScriptDialogsGoToTheHostFirst) {
    std::string asked;
    wb_->OnShowMessage = [&](TComponent*, void*, const std::string& text, const std::string&,
                             DWORD type, const std::string&, DWORD, LRESULT& result,
                             HRESULT& answer) {
        asked = text + " " + std::to_string(type & 0xF);
        result = IDOK;
        answer = S_OK;
    };
    ASSERT_TRUE(Load("kiva://bundle/alert.html"));
    ASSERT_TRUE(PumpUntil([&] { return title_ == "confirmed"; })) << title_;
    EXPECT_EQ(asked, "Go on? 1");
}

// Scripts run and forms submit as the host's security manager says, which the view asks
// before its first page.
struct ScriptsAndFormsCase {
    TAllowDisAllowPolicyOption Option;
    const char* Title;
    bool Submitted;
};

class SecurityPolicy : public WebKitBrowser,
                       public ::testing::WithParamInterface<ScriptsAndFormsCase> {};

TEST_P(SecurityPolicy, DecidesAboutScriptsAndForms) {
    TSecurityManager manager(nullptr);
    manager.UrlPolicy().Scripts = GetParam().Option;
    manager.UrlPolicy().SubmitForms = GetParam().Option;
    wb_->OnQueryService = [&](TComponent*, const GUID& rsid, const GUID& iid, IUnknown*& obj) {
        if (rsid == IID_IInternetSecurityManager && iid == rsid) {
            manager.QueryInterface(iid, reinterpret_cast<void**>(&obj));
        }
    };
    ASSERT_TRUE(Load("kiva://bundle/index.html"));
    // The script of the page's head has run, or not, by the time the page is complete.
    EXPECT_TRUE(PumpUntil([&] { return title_ == GetParam().Title; })) << title_;
    ASSERT_TRUE(Load("kiva://bundle/form.html"));
    // The reader's click on the form's button submits it, with or without scripts.
    Click(GDK_BUTTON_PRIMARY, 20, 20);
    ASSERT_TRUE(PumpUntil([&] { return Logged("before kiva://bundle/second.html?q=1"); }));
    if (GetParam().Submitted) {
        EXPECT_TRUE(PumpUntil([&] { return Logged("complete kiva://bundle/second.html?q=1"); }));
    } else {
        ASSERT_TRUE(Load("about:blank"));
        EXPECT_FALSE(Logged("complete kiva://bundle/second.html?q=1"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Options, SecurityPolicy,
    ::testing::Values(ScriptsAndFormsCase{TAllowDisAllowPolicyOption::Allow, "Script ran", true},
                      ScriptsAndFormsCase{TAllowDisAllowPolicyOption::Disallow, "Start", false}));

// A web server on the loopback interface that answers every request with the same body and
// no cross-origin permission of its own.
class TLoopbackServer {
public:
    // Each connection is served on a thread of its own: the engine may open connections it
    // sends nothing on for a while, and the test's loop must go on meanwhile.
    TLoopbackServer(std::string type, std::string body)
        : reply_("HTTP/1.0 200 OK\r\nContent-Type: " + type +
                 "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body),
          service_(g_threaded_socket_service_new(4)) {
        port_ = g_socket_listener_add_any_inet_port(G_SOCKET_LISTENER(service_), nullptr, nullptr);
        g_signal_connect(
            service_, "run",
            G_CALLBACK(+[](GSocketService*, GSocketConnection* connection, GObject*,
                           gpointer self) -> gboolean {
                GInputStream* in = g_io_stream_get_input_stream(G_IO_STREAM(connection));
                char request[4096];
                g_input_stream_read(in, request, sizeof request, nullptr, nullptr);
                const std::string& reply = static_cast<TLoopbackServer*>(self)->reply_;
                g_output_stream_write_all(g_io_stream_get_output_stream(G_IO_STREAM(connection)),
                                          reply.data(), reply.size(), nullptr, nullptr, nullptr);
                g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
                return TRUE;
            }),
            this);
        g_socket_service_start(service_);
    }
    ~TLoopbackServer() {
        g_socket_service_stop(service_);
        g_socket_listener_close(G_SOCKET_LISTENER(service_));
        g_object_unref(service_);
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/data"; }

private:
    std::string reply_;
    GSocketService* service_;
    guint16 port_ = 0;
};

// A page of another site that reads the address in its query and says what it got, in its
// title and to the page that framed it.
constexpr const char* kReadingPage =
    "<!DOCTYPE html><title>web page</title><script>"
    "function report(t) { document.title = t; if (parent !== window) parent.postMessage(t, '*'); }"
    "fetch(decodeURIComponent(location.search.slice(1))).then(function (r) { return r.text(); })"
    ".then(report, function () { report('refused'); });</script>";

class CrossOrigin : public WebKitBrowser {
protected:
    void SetUp() override {
        WebKitBrowser::SetUp();
        if (!available_) {
            return;
        }
        wb_->OnQueryService = [this](TComponent*, const GUID& rsid, const GUID& iid,
                                     IUnknown*& obj) {
            if (rsid == IID_IInternetSecurityManager && iid == rsid) {
                manager_.QueryInterface(iid, reinterpret_cast<void**>(&obj));
            }
        };
    }
    // What the page shown gets from the data server; a fresh address each time, so no cached
    // answer stands in for the server's.
    std::string Fetched() {
        title_.clear();
        Evaluate("document.title = 'reading';"
                 "fetch('" +
                 NextData() +
                 "').then(function (r) { return r.text(); })"
                 ".then(function (t) { document.title = t; },"
                 "function () { document.title = 'refused'; }); 1");
        PumpUntil([&] { return title_ == "from afar" || title_ == "refused"; });
        return title_;
    }
    std::string NextData() { return data_.Url() + "?" + std::to_string(++round_); }
    // The other site's page that reads the data server.
    std::string ReadingPage() {
        GCharPtr data(g_uri_escape_string(NextData().c_str(), nullptr, TRUE));
        return web_.Url() + "?" + data.get();
    }

    TSecurityManager manager_{nullptr};
    TLoopbackServer data_{"text/plain", "from afar"};
    TLoopbackServer web_{"text/html", kReadingPage};
    int round_ = 0;
};

TEST_F(CrossOrigin, TheBooksPagesReadOtherSitesDataWhenTheSecurityManagerAllowsIt) {
    manager_.UrlPolicy().CrossDomainData = TAllowDisAllowPolicyOption::Disallow;
    ASSERT_TRUE(Load("kiva://bundle/second.html"));
    EXPECT_EQ(Fetched(), "refused");
    manager_.UrlPolicy().CrossDomainData = TAllowDisAllowPolicyOption::Allow;
    ASSERT_TRUE(Load("kiva://bundle/tall.html"));
    EXPECT_EQ(Fetched(), "from afar");
}

TEST_F(CrossOrigin, AnotherSitesTopPageHasTheSameOriginRulesAfterABookPage) {
    ASSERT_TRUE(Load("kiva://bundle/second.html"));
    ASSERT_EQ(Fetched(), "from afar");
    title_.clear();
    Evaluate("location.href = '" + ReadingPage() + "'; 1");
    ASSERT_TRUE(PumpUntil([&] { return title_ == "from afar" || title_ == "refused"; }));
    EXPECT_EQ(title_, "refused");
    // Back in the book, its pages read other sites again; the host's own navigation away
    // leaves the grant behind as the page's did.
    ASSERT_TRUE(Load("kiva://bundle/tall.html"));
    EXPECT_EQ(Fetched(), "from afar");
    title_.clear();
    wb_->Navigate(ReadingPage());
    ASSERT_TRUE(PumpUntil([&] { return title_ == "from afar" || title_ == "refused"; }));
    EXPECT_EQ(title_, "refused");
}

TEST_F(CrossOrigin, AnotherSitesPageInAPopUpHasTheSameOriginRules) {
    ASSERT_TRUE(Load("kiva://bundle/opener.html"));
    ASSERT_EQ(Fetched(), "from afar");
    Evaluate("window.open('" + ReadingPage() + "'); 1");
    ASSERT_TRUE(PumpUntil([&] {
        return TopLevelTitled("refused") != nullptr || TopLevelTitled("from afar") != nullptr;
    }));
    EXPECT_NE(TopLevelTitled("refused"), nullptr);
    // The opener keeps its page and its grant.
    EXPECT_EQ(wb_->LocationURL(), "kiva://bundle/opener.html");
    EXPECT_EQ(Fetched(), "from afar");
}

TEST_F(CrossOrigin, AWebFrameInsideABookPageSharesTheBooksGrant) {
    ASSERT_TRUE(Load("kiva://bundle/second.html"));
    title_.clear();
    Evaluate("addEventListener('message', function (e) { document.title = 'frame: ' + e.data; });"
             "var f = document.createElement('iframe'); f.src = '" +
             ReadingPage() + "'; document.body.appendChild(f); 1");
    ASSERT_TRUE(PumpUntil([&] { return title_.rfind("frame: ", 0) == 0; }));
    EXPECT_EQ(title_, "frame: from afar");
}

// The answer to a book's form would have to move to a new process, which the form's data
// cannot follow: the form is not sent, and the reader is told, rather than the other site
// getting the request without its data.
TEST_F(CrossOrigin, ABookPagesFormIsNotPostedToAnotherSite) {
    std::string status;
    wb_->OnStatusTextChange = [&](TComponent*, const std::string& text) { status = text; };
    ASSERT_TRUE(Load("kiva://bundle/second.html"));
    ASSERT_EQ(Fetched(), "from afar");
    Evaluate("var f = document.createElement('form'); f.method = 'post'; f.action = '" +
             web_.Url() +
             "'; f.innerHTML = '<input name=q value=1>';"
             "document.body.appendChild(f); f.submit(); 1");
    ASSERT_TRUE(PumpUntil([&] { return status.rfind("Not sent", 0) == 0; }));
    EXPECT_EQ(status,
              "Not sent: a form of the book cannot be sent to another site (" + web_.Url() + ")");
    EXPECT_EQ(wb_->LocationURL(), "kiva://bundle/second.html");
}

// What a top page is to the cross-origin grant; needs no display.
TEST(PageKind, TellsTheBooksPagesFromOtherSitesAndBlankPages) {
    const std::pair<const char*, TPageKind> cases[] = {
        {"kiva://bundle/index.html", TPageKind::pkBook},
        {"KIVA://BUNDLE/Index.html", TPageKind::pkBook},
        {"blob:kiva://bundle/1f2e", TPageKind::pkBook},
        {"about:blank", TPageKind::pkBlank},
        {"About:Close", TPageKind::pkBlank},
        {"", TPageKind::pkBlank},
        {"kiva-viewer:search?q=a", TPageKind::pkBlank},
        {"kiva-viewerx:a", TPageKind::pkWeb},
        {"http://127.0.0.1:8080/page.html", TPageKind::pkWeb},
        {"https://example.org/kiva://bundle/", TPageKind::pkWeb},
        {"blob:https://example.org/1f2e", TPageKind::pkWeb},
        {"data:text/html,<script>fetch('http://intranet/')</script>", TPageKind::pkWeb},
        {"file:///etc/passwd", TPageKind::pkWeb},
        {"kivax://bundle/index.html", TPageKind::pkWeb},
    };
    for (const auto& [uri, kind] : cases) {
        EXPECT_EQ(PageKindOf(uri), kind) << uri;
    }
}

// --- What pages can make the host do --------------------------------------------------------

TEST_F(WebKitBrowser, PagesCannotPostToTheHostsMessageHandlers) {
    bool scriptError = false;
    wb_->OnScriptError = [&](TComponent*, const std::string&, const std::string&,
                             const std::string&, const std::string&, const std::string&,
                             TScriptErrorAction&) { scriptError = true; };
    ASSERT_TRUE(Load("kiva://bundle/frames.html"));
    gtk_widget_grab_focus(GTK_WIDGET(View()));
    const std::vector<std::string> names =
        static_cast<TWebKitBrowser*>(wb_->DefaultInterface())->PageMessageHandlers();
    ASSERT_GE(names.size(), 4u);
    // What each observer would tell the host, forged: a closing, a frame's completion, the
    // editing state, a right-click target, a script error.
    const std::vector<std::string> forgeries = {
        "''", "'kiva://bundle/forged.html'", "true", "'table'",
        "JSON.stringify({message:'forged',line:1,character:1,code:0,url:'x'})"};
    for (const std::string& name : names) {
        for (const std::string& message : forgeries) {
            EXPECT_EQ(Evaluate("(function () { try { window.webkit.messageHandlers['" + name +
                               "'].postMessage(" + message +
                               "); return 'posted'; } catch (e) { return 'refused'; } })()"),
                      "refused")
                << name;
        }
    }
    // Nor do events the page makes up reach the host's observers.
    Evaluate("dispatchEvent(new ErrorEvent('error', {message: 'forged'}));"
             "document.getElementById('f').contentWindow.dispatchEvent(new Event('load'));"
             "document.dispatchEvent(new FocusEvent('focusin')); 1");
    ASSERT_TRUE(Load("kiva://bundle/second.html"));
    EXPECT_FALSE(Logged("complete kiva://bundle/forged.html"));
    EXPECT_FALSE(Logged("closing"));
    EXPECT_FALSE(scriptError);
    gtk_widget_grab_focus(GTK_WIDGET(View()));
    EXPECT_EQ(wb_->KeyboardFocus(), TBrowserFocus::bfPage);
}

TEST_F(WebKitBrowser, APagesOwnWindowCloseAsksTheNavigationPolicy) {
    ASSERT_TRUE(Load("kiva://bundle/second.html"));
    ASSERT_TRUE(Load("kiva://bundle/closer.html"));
    EXPECT_TRUE(PumpUntil([&] { return closedFromHandler_; }));
    EXPECT_TRUE(Logged("before about:close"));
}

// A pop-up that closes itself at once, inline in its head, closes itself only.
class SelfClosingPopUp : public WebKitBrowser, public ::testing::WithParamInterface<const char*> {};

TEST_P(SelfClosingPopUp, ClosesOnlyItself) {
    ASSERT_TRUE(Load("kiva://bundle/opener.html"));
    const auto windows = [] {
        GList* list = gtk_window_list_toplevels();
        const guint n = g_list_length(list);
        g_list_free(list);
        return n;
    };
    const guint before = windows();
    Evaluate(std::string(GetParam()) + " 1");
    ASSERT_TRUE(PumpUntil([&] { return windows() > before; }));
    EXPECT_TRUE(PumpUntil([&] { return windows() == before; }));
    ASSERT_TRUE(Load("kiva://bundle/second.html"));
    EXPECT_FALSE(Logged("closing"));
    EXPECT_FALSE(Logged("before about:close"));
}

INSTANTIATE_TEST_SUITE_P(Openers, SelfClosingPopUp,
                         ::testing::Values("window.open('selfclose.html');",
                                           "document.getElementById('s').click();"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return info.index == 0 ? std::string("WindowOpen")
                                                    : std::string("TargetBlankLink");
                         });

// --- The reader's commands ------------------------------------------------------------------

TEST_F(WebKitBrowser, TextSizeScalesTheTextNotThePicturesAndStaysForLaterPages) {
    ASSERT_TRUE(Load("kiva://bundle/text.html"));
    const auto height = [&](const char* id) {
        const std::string h = Evaluate(std::string("document.getElementById('") + id +
                                       "').getBoundingClientRect().height");
        return std::strtod(h.c_str(), nullptr);
    };
    const double medium = height("p");
    const double picture = height("i");
    TVariant level = TVariant::Int32(4);
    wb_->ExecWB(OLECMDID_ZOOM, OLECMDEXECOPT_DONTPROMPTUSER, level);
    ASSERT_TRUE(PumpUntil([&] { return height("p") > medium * 1.3; })) << height("p");
    EXPECT_NEAR(height("i"), picture, 1.0);

    // The next page keeps the size; a level out of range is refused and changes nothing.
    ASSERT_TRUE(Load("kiva://bundle/second.html"));
    log_.clear();
    ASSERT_TRUE(Load("kiva://bundle/text.html"));
    EXPECT_GT(height("p"), medium * 1.3);
    TVariant wrong = TVariant::Int32(5);
    EXPECT_THROW(wb_->ExecWB(OLECMDID_ZOOM, OLECMDEXECOPT_DONTPROMPTUSER, wrong), Exception);
    TVariant none;
    TVariant current;
    wb_->ExecWB(OLECMDID_ZOOM, OLECMDEXECOPT_DONTPROMPTUSER, none, current);
    EXPECT_EQ(current.Int, 4);

    level = TVariant::Int32(0);
    wb_->ExecWB(OLECMDID_ZOOM, OLECMDEXECOPT_DONTPROMPTUSER, level);
    ASSERT_TRUE(PumpUntil([&] { return height("p") < medium * 0.85; })) << height("p");
    EXPECT_THROW(wb_->ExecWB(OLECMDID_SHOWSCRIPTERROR, OLECMDEXECOPT_DODEFAULT), Exception);
}

TEST_F(WebKitBrowser, CopyPutsTheSelectionOnTheClipboardAsTextAndHtml) {
    // Before any page there is nothing to copy from; while one loads, copying is harmless.
    EXPECT_THROW(wb_->ExecWB(OLECMDID_COPY, OLECMDEXECOPT_PROMPTUSER), Exception);
    wb_->Navigate("kiva://bundle/text.html");
    wb_->ExecWB(OLECMDID_COPY, OLECMDEXECOPT_PROMPTUSER);
    ASSERT_TRUE(PumpUntil([&] { return Logged("complete kiva://bundle/text.html"); }));
    Evaluate("getSelection().selectAllChildren(document.getElementById('p')); 1");
    GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    gtk_clipboard_set_text(clipboard, "before", -1);
    wb_->ExecWB(OLECMDID_COPY, OLECMDEXECOPT_PROMPTUSER);
    std::string copied;
    ASSERT_TRUE(PumpUntil([&] {
        gchar* text = gtk_clipboard_wait_for_text(clipboard);
        copied = text ? text : "";
        g_free(text);
        return copied != "before";
    }));
    EXPECT_EQ(copied, "Kiva words on a kiva page");
    EXPECT_TRUE(
        gtk_clipboard_wait_is_target_available(clipboard, gdk_atom_intern("text/html", FALSE)));
}

TEST_F(WebKitBrowser, FindOpensTheBoxOnTheDocumentAndCountsTheMatches) {
    EXPECT_FALSE(wb_->Document());
    ASSERT_TRUE(Load("kiva://bundle/text.html"));
    ComPtr<IOleCommandTarget> target;
    ASSERT_EQ(wb_->Document().As(target), S_OK);

    // The box is the control's widget's child beside the view.
    GtkWidget* container = static_cast<GtkWidget*>(wb_->NativeWidget());
    GtkWidget* box = nullptr;
    GList* children = gtk_container_get_children(GTK_CONTAINER(container));
    for (GList* c = children; c; c = c->next) {
        if (!WEBKIT_IS_WEB_VIEW(c->data)) {
            box = GTK_WIDGET(c->data);
        }
    }
    g_list_free(children);
    ASSERT_NE(box, nullptr);
    EXPECT_FALSE(gtk_widget_get_visible(box));
    GtkWidget* entry = nullptr;
    GtkWidget* status = nullptr;
    children = gtk_container_get_children(GTK_CONTAINER(box));
    for (GList* c = children; c; c = c->next) {
        if (GTK_IS_SEARCH_ENTRY(c->data)) {
            entry = GTK_WIDGET(c->data);
        } else if (GTK_IS_LABEL(c->data)) {
            status = GTK_WIDGET(c->data); // the last label says what was found
        }
    }
    g_list_free(children);
    ASSERT_TRUE(entry && status);
    const auto statusText = [&] { return std::string(gtk_label_get_text(GTK_LABEL(status))); };

    TVariant in;
    TVariant out;
    EXPECT_EQ(target->Exec(&CGID_IWebBrowser, HTMLID_FIND, OLECMDEXECOPT_DODEFAULT, &in, &out),
              S_OK);
    EXPECT_TRUE(gtk_widget_get_visible(box));
    gtk_entry_set_text(GTK_ENTRY(entry), "kiva");
    ASSERT_TRUE(PumpUntil([&] { return statusText() == "2 matches"; })) << statusText();
    // F3 steps to the next match and keeps the count.
    EXPECT_EQ(target->Exec(&CGID_IWebBrowser, HTMLID_FIND, OLECMDEXECOPT_DONTPROMPTUSER, &in, &out),
              S_OK);
    ASSERT_TRUE(PumpUntil([&] { return Evaluate("getSelection().toString()") == "kiva"; }));
    EXPECT_EQ(statusText(), "2 matches");
    gtk_entry_set_text(GTK_ENTRY(entry), "absent");
    ASSERT_TRUE(PumpUntil([&] { return statusText() == "Not found"; })) << statusText();

    EXPECT_EQ(target->Exec(&CGID_DocHostCommandHandler, HTMLID_FIND, 0, &in, &out),
              OLECMDERR_E_UNKNOWNGROUP);
    EXPECT_EQ(target->Exec(&CGID_IWebBrowser, 2, 0, &in, &out), OLECMDERR_E_NOTSUPPORTED);
    EXPECT_TRUE(wb_->CloseFindBox());
    EXPECT_FALSE(gtk_widget_get_visible(box));
    EXPECT_FALSE(wb_->CloseFindBox());

    // The document of a page that has gone answers nothing more; the new page has its own.
    ASSERT_TRUE(Load("kiva://bundle/second.html"));
    EXPECT_EQ(target->Exec(&CGID_IWebBrowser, HTMLID_FIND, 0, &in, &out), E_FAIL);
    EXPECT_NE(wb_->Document().Get(), static_cast<IUnknown*>(target.Get()));
}

TEST_F(WebKitBrowser, CommandsWorkWhileAPageLoadsAndOnAPageThatFailed) {
    ASSERT_TRUE(Load("kiva://bundle/text.html"));
    wb_->Navigate("kiva://bundle/missing.html");
    TVariant level = TVariant::Int32(3);
    for (int round = 0; round < 2; ++round) {
        // Once while the page loads, once on its error page.
        wb_->ExecWB(OLECMDID_COPY, OLECMDEXECOPT_PROMPTUSER);
        wb_->ExecWB(OLECMDID_ZOOM, OLECMDEXECOPT_DONTPROMPTUSER, level);
        ComPtr<IOleCommandTarget> target;
        ASSERT_EQ(wb_->Document().As(target), S_OK);
        TVariant in;
        TVariant out;
        EXPECT_EQ(
            target->Exec(&CGID_IWebBrowser, HTMLID_FIND, OLECMDEXECOPT_DONTPROMPTUSER, &in, &out),
            S_OK);
        ASSERT_TRUE(PumpUntil([&] { return Logged("complete kiva://bundle/missing.html"); }));
    }
    EXPECT_TRUE(wb_->CloseFindBox());
}

TEST_F(WebKitBrowser, TheWindowKnowsWhenATextFieldOfThePageIsEdited) {
    ASSERT_TRUE(Load("kiva://bundle/text.html"));
    gtk_widget_grab_focus(GTK_WIDGET(View()));
    EXPECT_EQ(wb_->KeyboardFocus(), TBrowserFocus::bfPage);
    Evaluate("document.getElementById('t').focus(); 1");
    EXPECT_TRUE(PumpUntil([&] { return wb_->KeyboardFocus() == TBrowserFocus::bfPageTextField; }));
    Evaluate("document.getElementById('c').focus(); 1");
    EXPECT_TRUE(PumpUntil([&] { return wb_->KeyboardFocus() == TBrowserFocus::bfPage; }));
}

TEST_F(WebKitBrowser, APagePrintsNothingWhilePrintingIsNotAllowed) {
    ASSERT_TRUE(Load("kiva://bundle/text.html"));
    wb_->SetPagePrintingAllowed(false);
    GList* before = gtk_window_list_toplevels();
    const guint windows = g_list_length(before);
    g_list_free(before);
    EXPECT_EQ(Evaluate("window.print(); 'returned'"), "returned");
    GList* after = gtk_window_list_toplevels();
    EXPECT_EQ(g_list_length(after), windows);
    g_list_free(after);
}

} // namespace
} // namespace kiva
