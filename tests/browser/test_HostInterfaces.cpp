// The host's answers to the browser's questions, asked the way the browser asks them: through
// the client site the control was given.
#include "EmbeddedWB.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Dialogs.h"
#include "FakeWebBrowser.h"
#include "InternetSecurity.h"
#include "RecordingDialogs.h"

namespace kiva {
namespace {

using test::TFakeBrowserClass;
using test::TRecordingDialogs;
using PM = TIEPopupMenu;

// A host whose control was created, with the site's interfaces at hand.
class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        wb.DefaultInterface();
        site = cls.Last->Site;
        ASSERT_TRUE(site);
    }
    template <class I> ComPtr<I> SiteAs() {
        ComPtr<I> intf;
        site->QueryInterface(I::kIID, intf.ReleaseAndGetVoidAddress());
        return intf;
    }

    TFakeBrowserClass cls;
    TEmbeddedWB wb{nullptr};
    ComPtr<IDocHostUIHandler> site;
};

struct MenuCase {
    const char* Name;
    TIEPopupMenus Disabled;
    DWORD Id;
    HRESULT Result;
    bool Popped;
};

class ContextMenus : public HostTest, public ::testing::WithParamInterface<MenuCase> {};

TEST_P(ContextMenus, SuppressedIdsPopTheHostsMenuAtThePointerAndOthersAreTheBrowsers) {
    const MenuCase& c = GetParam();
    TPopupMenu menu(nullptr);
    std::vector<std::string> shown;
    menu.OnPopup = [&](TComponent*) { shown.push_back("popup"); };
    menu.ShowAt = [&](int x, int y) {
        shown.push_back("at " + std::to_string(x) + "," + std::to_string(y));
    };
    wb.PopupMenu = &menu;
    wb.DisabledPopupMenus = c.Disabled;
    const POINT at{40, 70};
    EXPECT_EQ(SiteAs<IDocHostUIHandler2>()->ShowContextMenu(c.Id, &at, nullptr, nullptr), c.Result);
    const std::vector<std::string> expected =
        c.Popped ? std::vector<std::string>{"popup", "at 40,70"} : std::vector<std::string>{};
    EXPECT_EQ(shown, expected);
}

const TIEPopupMenus kEveryMenu{PM::rcmDefault,   PM::rcmImage,  PM::rcmControl, PM::rcmTable,
                               PM::rcmSelText,   PM::rcmAnchor, PM::rcmUnKnown, PM::rcmImageArt,
                               PM::rcmImgDynSrc, PM::rcmDebug,  PM::rcmAll};

INSTANTIATE_TEST_SUITE_P(
    Table, ContextMenus,
    ::testing::Values(MenuCase{"ViewerText", kEveryMenu, 0, S_OK, true},
                      MenuCase{"ViewerAnchor", kEveryMenu, 5, S_OK, true},
                      MenuCase{"ViewerHighId", kEveryMenu, 14, S_OK, true},
                      MenuCase{"ImageOnlyImage", {PM::rcmImage}, 1, S_OK, true},
                      MenuCase{"ImageOnlyDefault", {PM::rcmImage}, 0, S_FALSE, false},
                      MenuCase{"OrdinalNotName", {PM::rcmImageArt}, 7, S_OK, true},
                      MenuCase{"HighIdOnlyThroughAll", {PM::rcmDebug}, 12, S_FALSE, false},
                      MenuCase{"NoneSuppressed", {}, 4, S_FALSE, false}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(HostTest, AContextMenuHandlerDecidesFirstAndAnUnsetMenuShowsNothing) {
    wb.DisabledPopupMenus = kEveryMenu;
    EXPECT_EQ(SiteAs<IDocHostUIHandler2>()->ShowContextMenu(3, nullptr, nullptr, nullptr), S_OK);
    wb.OnShowContextMenu = [](TComponent*, DWORD id, const POINT*, IUnknown*, IUnknown*,
                              HRESULT& result) {
        if (id == 4) {
            result = S_FALSE;
        }
    };
    EXPECT_EQ(SiteAs<IDocHostUIHandler2>()->ShowContextMenu(4, nullptr, nullptr, nullptr), S_FALSE);
}

struct KeyCase {
    const char* Name;
    const char* Shortcuts;
    UINT Message;
    WPARAM Key;
    DWORD KeyState;
    bool Withheld;
};

class Accelerators : public HostTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(Accelerators, OnlyExactlyCtrlWithAListedKeyIsWithheld) {
    const KeyCase& c = GetParam();
    wb.DisableCtrlShortcuts = c.Shortcuts;
    std::string masked;
    wb.OnMaskedCtrlChar = [&](TComponent*, char ch) { masked += ch; };
    MSG msg;
    msg.message = c.Message;
    msg.wParam = c.Key;
    msg.KeyState = c.KeyState;
    EXPECT_EQ(SiteAs<IDocHostUIHandler2>()->TranslateAccelerator(&msg, nullptr, 0),
              c.Withheld ? S_OK : S_FALSE);
    EXPECT_EQ(masked, c.Withheld ? std::string(1, static_cast<char>(c.Key)) : std::string());
}

INSTANTIATE_TEST_SUITE_P(
    Table, Accelerators,
    ::testing::Values(KeyCase{"CtrlN", "N", WM_KEYDOWN, 'N', KS_CTRL, true},
                      KeyCase{"CtrlAltN", "N", WM_KEYDOWN, 'N', KS_CTRL | KS_ALT, true},
                      KeyCase{"CtrlShiftN", "N", WM_KEYDOWN, 'N', KS_CTRL | KS_SHIFT, false},
                      KeyCase{"PlainN", "N", WM_KEYDOWN, 'N', 0, false},
                      KeyCase{"CtrlM", "N", WM_KEYDOWN, 'M', KS_CTRL, false},
                      KeyCase{"KeyUp", "N", WM_KEYUP, 'N', KS_CTRL, false},
                      KeyCase{"EmptyList", "", WM_KEYDOWN, 'N', KS_CTRL, false},
                      KeyCase{"LowerCaseNeverMatches", "n", WM_KEYDOWN, 'N', KS_CTRL, false}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(HostTest, OtherKeysGoToTheAcceleratorHandlerWhoseDoneKeepsThemFromTheBrowser) {
    wb.OnTranslateAccelerator = [](TComponent*, const MSG* msg, const GUID*, DWORD, bool& done) {
        done = msg->wParam == 'P';
    };
    MSG msg;
    msg.message = WM_KEYDOWN;
    msg.wParam = 'P';
    EXPECT_EQ(SiteAs<IDocHostUIHandler2>()->TranslateAccelerator(&msg, nullptr, 0), S_OK);
    msg.wParam = 'Q';
    EXPECT_EQ(SiteAs<IDocHostUIHandler2>()->TranslateAccelerator(&msg, nullptr, 0), S_FALSE);
}

// A script error's event object with every property but those named missing.
class TErrorEvent final : public TComObjectWith<IScriptErrorEvent> {
public:
    explicit TErrorEvent(std::u16string missing = u"") : missing_(std::move(missing)) {}
    HRESULT GetProperty(const std::u16string& name, TVariant& value) override {
        if (name == missing_) {
            return E_INVALIDARG;
        }
        if (name == u"errorline" || name == u"errorCharacter" || name == u"errorCode") {
            value = TVariant::Int32(name == u"errorline" ? 12 : name == u"errorCode" ? 0 : 5);
        } else {
            value.Kind = TVariant::TKind::vkText;
            value.Text = name == u"errorMessage" ? u"x is not defined" : u"kiva://bundle/a.html";
        }
        return S_OK;
    }

private:
    std::u16string missing_;
};

TVariant ErrorArgument(std::u16string missing = u"") {
    TVariant in;
    in.Kind = TVariant::TKind::vkObject;
    in.Object = ComPtr<IUnknown>(static_cast<IScriptErrorEvent*>(new TErrorEvent(missing)));
    return in;
}

TEST_F(HostTest, ScriptErrorsAreAnsweredByTheActionAndTheHandlerReadsTheDetails) {
    const struct {
        TScriptErrorAction Action;
        HRESULT Result;
        TVariant::TKind OutKind;
        bool Out;
    } cases[] = {
        {TScriptErrorAction::eaContinue, S_OK, TVariant::TKind::vkBool, true},
        {TScriptErrorAction::eaCancel, S_OK, TVariant::TKind::vkBool, false},
        {TScriptErrorAction::eaAskUser, S_FALSE, TVariant::TKind::vkInt32, false},
    };
    auto target = SiteAs<IOleCommandTarget>();
    for (const auto& c : cases) {
        wb.ScriptErrorAction = c.Action;
        TVariant in = ErrorArgument();
        TVariant out = TVariant::Int32(77);
        EXPECT_EQ(target->Exec(&CGID_DocHostCommandHandler, OLECMDID_SHOWSCRIPTERROR, 0, &in, &out),
                  c.Result);
        EXPECT_EQ(out.Kind, c.OutKind);
        if (c.OutKind == TVariant::TKind::vkBool) {
            EXPECT_EQ(out.Bool, c.Out);
        }
    }
    std::string details;
    wb.OnScriptError = [&](TComponent*, const std::string& line, const std::string& character,
                           const std::string& code, const std::string& message,
                           const std::string& url, TScriptErrorAction& action) {
        details = line + " " + character + " " + code + " " + message + " " + url;
        action = TScriptErrorAction::eaContinue;
    };
    wb.ScriptErrorAction = TScriptErrorAction::eaAskUser;
    TVariant in = ErrorArgument();
    EXPECT_EQ(target->Exec(&CGID_DocHostCommandHandler, 40, 0, &in, nullptr), S_FALSE);
    EXPECT_EQ(details, "12 5 0 x is not defined kiva://bundle/a.html");
    // The handler's choice holds for the next error.
    EXPECT_EQ(wb.ScriptErrorAction, TScriptErrorAction::eaContinue);
}

TEST_F(HostTest, AScriptErrorDetailTheEventLacksIsReportedAndTheAnswerStands) {
    TRecordingDialogs dialogs;
    TDialogsScope scope(dialogs);
    wb.OnScriptError = [](TComponent*, const std::string&, const std::string&, const std::string&,
                          const std::string&, const std::string&,
                          TScriptErrorAction&) { FAIL() << "raised without its details"; };
    wb.ScriptErrorAction = TScriptErrorAction::eaAskUser;
    TVariant in = ErrorArgument(u"errorCode");
    EXPECT_EQ(SiteAs<IOleCommandTarget>()->Exec(&CGID_DocHostCommandHandler, 40, 0, &in, nullptr),
              S_FALSE);
    ASSERT_EQ(dialogs.Boxes.size(), 1u);
    EXPECT_EQ(dialogs.Boxes[0].Text, "'errorCode' is not supported.");
}

TEST_F(HostTest, CommandsOutsideTheHostsGroupsReachOnlyTheCommandHandler) {
    auto target = SiteAs<IOleCommandTarget>();
    const GUID other = GuidLiteral("{11111111-2222-3333-4444-555555555555}");
    EXPECT_EQ(target->Exec(nullptr, 1, 0, nullptr, nullptr), OLECMDERR_E_NOTSUPPORTED);
    EXPECT_EQ(target->Exec(&other, 1, 0, nullptr, nullptr), OLECMDERR_E_NOTSUPPORTED);
    EXPECT_EQ(target->Exec(&CGID_Explorer, 37, 0, nullptr, nullptr), OLECMDERR_E_NOTSUPPORTED);
    std::vector<DWORD> seen;
    wb.OnCommandExec = [&](TComponent*, const GUID*, DWORD id, DWORD, TVariant*, TVariant*,
                           HRESULT& result) {
        seen.push_back(id);
        result = S_OK;
    };
    int unloads = 0;
    wb.OnUnload = [&](TComponent*) { ++unloads; };
    bool cancelRefresh = true;
    wb.OnRefresh = [&](TComponent*, DWORD, bool& cancel) { cancel = cancelRefresh; };
    EXPECT_EQ(target->Exec(nullptr, 1, 0, nullptr, nullptr), S_OK);
    EXPECT_EQ(target->Exec(&CGID_Explorer, 37, 0, nullptr, nullptr), S_OK);
    EXPECT_EQ(target->Exec(&CGID_DocHostCommandHandler, 6041, 0, nullptr, nullptr), S_OK);
    cancelRefresh = false;
    EXPECT_EQ(target->Exec(&CGID_DocHostCommandHandler, 2300, 0, nullptr, nullptr),
              OLECMDERR_E_NOTSUPPORTED);
    EXPECT_EQ(seen, std::vector<DWORD>{1});
    EXPECT_EQ(unloads, 1);
}

TEST_F(HostTest, ServicesOtherThanFocusProtectionGoToTheHandler) {
    auto services = SiteAs<IServiceProvider>();
    std::vector<std::string> asked;
    wb.OnQueryService = [&](TComponent*, const GUID& rsid, const GUID&, IUnknown*&) {
        asked.push_back(rsid == IID_IInternetSecurityManager ? "security" : "other");
    };
    ComPtr<IProtectFocus> focus;
    EXPECT_EQ(services->QueryService(IID_IProtectFocus, IID_IProtectFocus,
                                     focus.ReleaseAndGetVoidAddress()),
              S_OK);
    BOOL allow = FALSE;
    EXPECT_EQ(focus->AllowFocusChange(&allow), S_OK);
    EXPECT_EQ(allow, TRUE);
    void* object = &allow;
    EXPECT_EQ(
        services->QueryService(IID_IInternetSecurityManager, IID_IInternetSecurityManager, &object),
        E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    // Without their handlers the control's own download and window services are not offered.
    EXPECT_EQ(services->QueryService(IID_IDownloadManager, IID_IDownloadManager, &object),
              E_NOINTERFACE);
    EXPECT_EQ(asked, (std::vector<std::string>{"security", "other"}));
}

TEST_F(HostTest, AmbientPropertiesGiveDownloadControlUserModeAndAnInternalUserAgent) {
    auto ambient = SiteAs<IAmbientDispatch>();
    TVariant value;
    EXPECT_EQ(ambient->Invoke(DISPID_AMBIENT_DLCONTROL, DISPATCH_PROPERTYGET, &value, nullptr),
              S_OK);
    EXPECT_EQ(value.Int, 0x70);
    EXPECT_EQ(ambient->Invoke(DISPID_AMBIENT_USERMODE, DISPATCH_PROPERTYGET, &value, nullptr),
              S_OK);
    EXPECT_TRUE(value.Bool);
    EXPECT_EQ(ambient->Invoke(DISPID_AMBIENT_USERAGENT, DISPATCH_PROPERTYGET, &value, nullptr),
              DISP_E_MEMBERNOTFOUND);
    wb.UserAgent = "Book/1";
    wb.UserAgentMode = TUserAgentMode::uaInternal;
    EXPECT_EQ(ambient->Invoke(DISPID_AMBIENT_USERAGENT, DISPATCH_PROPERTYGET, &value, nullptr),
              S_OK);
    EXPECT_EQ(value.Text, u"Book/1\r\n");
    wb.OnInvoke = [](TComponent*, DISPID, std::uint16_t, TVariant*, HRESULT&) {
        throw Exception("no such property");
    };
    EXCEPINFO info;
    EXPECT_EQ(ambient->Invoke(-701, DISPATCH_PROPERTYGET, &value, &info), DISP_E_EXCEPTION);
    EXPECT_EQ(info.wCode, 9999);
    EXPECT_EQ(info.bstrDescription, u"no such property");
}

TEST_F(HostTest, MessagesHelpAndCredentialsAreTheBrowsersUnlessBound) {
    auto ui = SiteAs<IDocHostShowUI>();
    LRESULT result = 0;
    EXPECT_EQ(ui->ShowMessage(nullptr, u"Hello", u"", MB_OK, u"", 0, &result), S_FALSE);
    wb.OnShowMessage = [](TComponent*, void*, const std::string& text, const std::string&, DWORD,
                          const std::string&, DWORD, LRESULT& r, HRESULT& answer) {
        r = text == "Sure?" ? IDOK : IDCANCEL;
        answer = S_OK;
    };
    EXPECT_EQ(ui->ShowMessage(nullptr, u"Sure?", u"", MB_OKCANCEL, u"", 0, &result), S_OK);
    EXPECT_EQ(result, static_cast<LRESULT>(IDOK));
    EXPECT_EQ(ui->ShowHelp(nullptr, u"", 0, 0, POINT{}, nullptr), S_FALSE);

    auto auth = SiteAs<IAuthenticate>();
    std::u16string user = u"x";
    std::u16string password = u"y";
    bool given = true;
    EXPECT_EQ(auth->Authenticate(nullptr, &user, &password, &given), S_OK);
    EXPECT_FALSE(given);
    EXPECT_TRUE(user.empty());
    wb.OnAuthenticate = [](TComponent*, void*&, std::string& u, std::string& p, HRESULT&) {
        u = "reader";
        p = "secret";
    };
    EXPECT_EQ(auth->Authenticate(nullptr, &user, &password, &given), S_OK);
    EXPECT_TRUE(given);
    EXPECT_EQ(user + u":" + password, u"reader:secret");
}

TEST_F(HostTest, DropHandlingDecidesWhoTakesDroppedFilesAndLinks) {
    auto ui = SiteAs<IDocHostUIHandler2>();
    ComPtr<IUnknown> target;
    wb.DropHandlingType = TDragDropHandlingType::ddtMS;
    EXPECT_EQ(ui->GetDropTarget(nullptr, target.ReleaseAndGetAddressOf()), E_NOTIMPL);
    EXPECT_FALSE(target);
    wb.DropHandlingType = TDragDropHandlingType::ddtNo;
    EXPECT_EQ(ui->GetDropTarget(nullptr, target.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_FALSE(target);
    wb.DropHandlingType = TDragDropHandlingType::ddtMy;
    EXPECT_EQ(ui->GetDropTarget(nullptr, target.ReleaseAndGetAddressOf()), S_OK);
    ComPtr<IDropTarget> drop;
    ASSERT_EQ(target.As(drop), S_OK);
    DWORD effect = 7;
    EXPECT_EQ(drop->DragOver(0, POINT{}, &effect), S_OK);
    EXPECT_EQ(effect, DROPEFFECT_NONE);
}

TEST(HostLifetime, ABrowserHoldingTheSiteAfterTheHostWentGetsPlainAnswers) {
    TFakeBrowserClass cls;
    ComPtr<IDocHostUIHandler2> ui;
    {
        TEmbeddedWB wb(nullptr);
        wb.DisabledPopupMenus = {PM::rcmAll};
        wb.DefaultInterface();
        cls.Last->Site->QueryInterface(IDocHostUIHandler2::kIID, ui.ReleaseAndGetVoidAddress());
        ASSERT_TRUE(ui);
        EXPECT_EQ(ui->ShowContextMenu(0, nullptr, nullptr, nullptr), S_OK);
    }
    EXPECT_EQ(ui->ShowContextMenu(0, nullptr, nullptr, nullptr), S_FALSE);
}

TEST(HostKeys, KeyEventsSeeKeyScanCodeAndShiftAndMaySwallowTheKey) {
    TEmbeddedWB wb(nullptr);
    std::string seen;
    wb.OnKeyDown = [&](TComponent*, std::uint16_t& key, int scan, TShiftState shift) {
        seen += std::to_string(key) + "/" + std::to_string(scan) +
                (shift.Contains(TShiftStateMember::ssCtrl) ? "/ctrl" : "") + " ";
        if (key == 'X') {
            key = 0;
        }
    };
    TMessage message;
    message.Msg = CN_KEYDOWN;
    message.WParam = 'X';
    message.LParam = (45 << 16) | 1;
    message.KeyState = KS_CTRL;
    wb.WindowProc(message);
    EXPECT_EQ(message.Result, 1);
    message = TMessage{CN_KEYDOWN, VK_RETURN, (28 << 16) | 1, 0, 0};
    wb.WindowProc(message);
    EXPECT_EQ(message.Result, 0);
    message = TMessage{CN_KEYUP, 'X', 0, 0, 0};
    wb.WindowProc(message);
    EXPECT_EQ(message.Result, 0);
    EXPECT_EQ(seen, "88/45/ctrl 13/28 ");
}

} // namespace
} // namespace kiva
