// The platform's headers come before the toolkit's, whose TRUE and FALSE are macros.
#include "WebKitCommands.h"

#include "Dialogs.h"
#include "PageScripts.h"
#include "Trace.h"

#include <cmath>
#include <memory>

#include "GObjectPtr.h"

namespace kiva {

namespace {

// Counting stops here; a page with more matches says so instead of a number.
constexpr guint kMaxMatchCount = 1000;

std::string MatchText(guint count) {
    if (count == G_MAXUINT || count > kMaxMatchCount) {
        return "More than " + std::to_string(kMaxMatchCount) + " matches";
    }
    return count == 1 ? "1 match" : std::to_string(count) + " matches";
}

} // namespace

TWebKitCommands::TWebKitCommands(GtkWidget* container) : container_(container) {
    BuildFindBox();
}

TWebKitCommands::~TWebKitCommands() {
    if (document_) {
        document_->Detach();
    }
    if (view_) {
        g_signal_handlers_disconnect_by_data(webkit_web_view_get_find_controller(view_), this);
        g_signal_handlers_disconnect_by_data(view_, this);
    }
    // The box's widgets may outlive this object inside the window.
    gtk_container_foreach(
        GTK_CONTAINER(findBox_.get()),
        [](GtkWidget* child, gpointer self) { g_signal_handlers_disconnect_by_data(child, self); },
        this);
    g_signal_handlers_disconnect_by_data(findBox_.get(), this);
}

void TWebKitCommands::Attach(WebKitWebView* view, TPageScripts& scripts) {
    view_ = view;
    ApplyZoom();

    g_signal_connect(view, "load-changed", G_CALLBACK(OnLoadChanged), this);
    g_signal_connect(view, "print", G_CALLBACK(OnPagePrint), this);
    g_signal_connect(view, "scroll-event", G_CALLBACK(OnScroll), this);
    WebKitFindController* finder = webkit_web_view_get_find_controller(view);
    g_signal_connect(finder, "found-text", G_CALLBACK(OnFoundText), this);
    g_signal_connect(finder, "failed-to-find-text", G_CALLBACK(OnFailedToFind), this);

    scripts.AddObserver("editing.js", "kivaEditing", WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                        [this](JSCValue* message) { editing_ = jsc_value_to_boolean(message); });
}

IUnknown* TWebKitCommands::Document() {
    if (!document_) {
        return nullptr;
    }
    IUnknown* document = document_->Unknown();
    document->AddRef();
    return document;
}

HRESULT TWebKitCommands::ExecWB(DWORD cmdID, DWORD, TVariant* pvaIn, TVariant* pvaOut) {
    switch (cmdID) {
    case OLECMDID_PRINTPREVIEW:
        return Print();
    case OLECMDID_COPY:
        return Copy();
    case OLECMDID_ZOOM:
        return Zoom(pvaIn, pvaOut);
    default:
        return OLECMDERR_E_NOTSUPPORTED;
    }
}

// --- Printing -------------------------------------------------------------------------------

GtkWindow* TWebKitCommands::Toplevel() const {
    GtkWidget* top = gtk_widget_get_toplevel(container_);
    return top && gtk_widget_is_toplevel(top) && GTK_IS_WINDOW(top) ? GTK_WINDOW(top) : nullptr;
}

HRESULT TWebKitCommands::Print() {
    if (!view_ || !document_) {
        return OLECMDERR_E_NOTSUPPORTED;
    }
    // The dialog is modal; a second request while it is up has nothing to add.
    if (printing_) {
        return S_OK;
    }
    GObjectPtr<WebKitPrintOperation> operation(webkit_print_operation_new(view_));
    g_signal_connect(operation.get(), "failed", G_CALLBACK(OnPrintFailed), nullptr);
    printing_ = true;
    // The page layout is the print dialog's own page setup; the engine keeps the operation
    // alive until its pages are printed.
    webkit_print_operation_run_dialog(operation.get(), Toplevel());
    printing_ = false;
    return S_OK;
}

gboolean TWebKitCommands::OnPagePrint(WebKitWebView*, WebKitPrintOperation*,
                                      gpointer self) noexcept {
    // Handled, and so nothing shown, when the project does not allow printing.
    return static_cast<TWebKitCommands*>(self)->pagePrintingAllowed_ ? FALSE : TRUE;
}

void TWebKitCommands::OnPrintFailed(WebKitPrintOperation*, GError* error, gpointer) noexcept {
    try {
        ShowDefaultError(error && error->message ? error->message : "Printing failed");
    } catch (...) {
        TraceCaughtError("the print operation's failure");
    }
}

// --- Copy and text size ---------------------------------------------------------------------

HRESULT TWebKitCommands::Copy() {
    if (!view_) {
        return OLECMDERR_E_NOTSUPPORTED;
    }
    // The engine puts the selection on the clipboard as text and as HTML.
    webkit_web_view_execute_editing_command(view_, WEBKIT_EDITING_COMMAND_COPY);
    return S_OK;
}

HRESULT TWebKitCommands::Zoom(TVariant* in, TVariant* out) {
    if (in && in->Kind == TVariant::TKind::vkInt32) {
        if (in->Int < 0 || in->Int >= static_cast<int>(kTextSizeFactors.size())) {
            return E_INVALIDARG;
        }
        zoomLevel_ = in->Int;
        ApplyZoom();
    } else if (in && in->Kind != TVariant::TKind::vkEmpty &&
               in->Kind != TVariant::TKind::vkNotGiven) {
        return E_INVALIDARG;
    }
    if (out) {
        *out = TVariant::Int32(zoomLevel_);
    }
    return S_OK;
}

void TWebKitCommands::ApplyZoom() {
    // The view keeps its zoom from page to page; a view made later takes the level then.
    if (view_) {
        webkit_web_view_set_zoom_level(view_, kTextSizeFactors[zoomLevel_]);
    }
}

gboolean TWebKitCommands::OnScroll(GtkWidget*, GdkEventScroll* event, gpointer self) noexcept {
    auto* commands = static_cast<TWebKitCommands*>(self);
    try {
        if (!(event->state & GDK_CONTROL_MASK) || !commands->wheelZoom_) {
            return FALSE;
        }
        int steps = 0;
        if (event->direction == GDK_SCROLL_UP) {
            steps = 1;
        } else if (event->direction == GDK_SCROLL_DOWN) {
            steps = -1;
        } else if (event->direction == GDK_SCROLL_SMOOTH) {
            // A touchpad reports a turn in small parts; one notch's worth is one step.
            commands->wheelDelta_ += event->delta_y;
            if (std::fabs(commands->wheelDelta_) < 1.0) {
                return commands->wheelTaken_ ? TRUE : FALSE;
            }
            steps = commands->wheelDelta_ < 0 ? 1 : -1;
            commands->wheelDelta_ = 0;
        } else {
            return FALSE;
        }
        commands->wheelTaken_ = commands->wheelZoom_(steps);
        return commands->wheelTaken_ ? TRUE : FALSE;
    } catch (...) {
        TraceCaughtError("the page's Ctrl+wheel");
        return FALSE;
    }
}

// --- The find box ---------------------------------------------------------------------------

void TWebKitCommands::BuildFindBox() {
    findBox_ = AdoptGObject(gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6));
    GtkWidget* box = findBox_.get();
    gtk_widget_set_margin_start(box, 6);
    gtk_widget_set_margin_end(box, 6);
    gtk_widget_set_margin_top(box, 3);
    gtk_widget_set_margin_bottom(box, 3);

    GtkWidget* label = gtk_label_new_with_mnemonic("Fi_nd:");
    findEntry_ = AdoptGObject(gtk_search_entry_new());
    GtkWidget* entry = findEntry_.get();
    gtk_label_set_mnemonic_widget(GTK_LABEL(label), entry);
    gtk_entry_set_width_chars(GTK_ENTRY(entry), 24);
    atk_object_set_name(gtk_widget_get_accessible(entry), "Find");
    GtkWidget* next = gtk_button_new_with_mnemonic("Find _Next");
    matchCase_ = AdoptGObject(gtk_check_button_new_with_mnemonic("Match _case"));
    GtkWidget* direction = gtk_label_new("Direction:");
    up_ = AdoptGObject(gtk_radio_button_new_with_mnemonic(nullptr, "_Up"));
    GtkWidget* down =
        gtk_radio_button_new_with_mnemonic_from_widget(GTK_RADIO_BUTTON(up_.get()), "_Down");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(down), TRUE);
    findStatus_ = AdoptGObject(gtk_label_new(""));
    gtk_label_set_xalign(GTK_LABEL(findStatus_.get()), 0);
    GtkWidget* close = gtk_button_new_with_label("Close");

    for (GtkWidget* w : {label, entry, next, matchCase_.get(), direction, up_.get(), down}) {
        gtk_box_pack_start(GTK_BOX(box), w, FALSE, FALSE, 0);
    }
    gtk_box_pack_start(GTK_BOX(box), findStatus_.get(), TRUE, TRUE, 0);
    gtk_box_pack_end(GTK_BOX(box), close, FALSE, FALSE, 0);

    const auto search =
        +[](GtkWidget*, gpointer self) { static_cast<TWebKitCommands*>(self)->Search(false); };
    const auto searchNext =
        +[](GtkWidget*, gpointer self) { static_cast<TWebKitCommands*>(self)->Search(true); };
    const auto closeBox =
        +[](GtkWidget*, gpointer self) { static_cast<TWebKitCommands*>(self)->CloseFindBox(); };
    g_signal_connect(entry, "search-changed", G_CALLBACK(search), this);
    g_signal_connect(entry, "activate", G_CALLBACK(searchNext), this);
    g_signal_connect(entry, "stop-search", G_CALLBACK(closeBox), this);
    g_signal_connect(next, "clicked", G_CALLBACK(searchNext), this);
    g_signal_connect(matchCase_.get(), "toggled", G_CALLBACK(search), this);
    g_signal_connect(close, "clicked", G_CALLBACK(closeBox), this);
    // Esc anywhere in the box ends the search, not the viewer.
    g_signal_connect(box, "key-press-event",
                     G_CALLBACK(+[](GtkWidget*, GdkEventKey* event, gpointer self) -> gboolean {
                         if (event->keyval != GDK_KEY_Escape) {
                             return FALSE;
                         }
                         static_cast<TWebKitCommands*>(self)->CloseFindBox();
                         return TRUE;
                     }),
                     this);

    gtk_widget_show_all(box);
    gtk_widget_hide(box);
    // The window shows everything it holds at start; the box waits for Find.
    gtk_widget_set_no_show_all(box, TRUE);
    gtk_box_pack_end(GTK_BOX(container_), box, FALSE, FALSE, 0);
}

HRESULT TWebKitCommands::Find(bool next) {
    if (!view_ || !document_) {
        return OLECMDERR_E_NOTSUPPORTED;
    }
    const bool hasText = *gtk_entry_get_text(GTK_ENTRY(findEntry_.get())) != '\0';
    gtk_widget_show(findBox_.get());
    if (next && hasText) {
        Search(true);
        return S_OK;
    }
    gtk_widget_grab_focus(findEntry_.get());
    // The text of the last search stays, selected, so that typing replaces it; the page shows
    // its matches again.
    if (hasText) {
        gtk_editable_select_region(GTK_EDITABLE(findEntry_.get()), 0, -1);
        Search(false);
    }
    return S_OK;
}

void TWebKitCommands::Search(bool next) {
    if (!view_) {
        return;
    }
    WebKitFindController* finder = webkit_web_view_get_find_controller(view_);
    const std::string text = gtk_entry_get_text(GTK_ENTRY(findEntry_.get()));
    if (text.empty()) {
        searchedText_.clear();
        matchCount_ = 0;
        webkit_find_controller_search_finish(finder);
        SetFindStatus("", false);
        return;
    }
    guint32 options = WEBKIT_FIND_OPTIONS_WRAP_AROUND;
    if (!gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(matchCase_.get()))) {
        options |= WEBKIT_FIND_OPTIONS_CASE_INSENSITIVE;
    }
    if (gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(up_.get()))) {
        options |= WEBKIT_FIND_OPTIONS_BACKWARDS;
    }
    if (next && text == searchedText_ && options == searchedOptions_) {
        steppingToNext_ = true;
        webkit_find_controller_search_next(finder);
        return;
    }
    steppingToNext_ = false;
    searchedText_ = text;
    searchedOptions_ = options;
    webkit_find_controller_search(finder, text.c_str(), options, kMaxMatchCount);
}

void TWebKitCommands::SetFindStatus(const std::string& text, bool failed) {
    gtk_label_set_text(GTK_LABEL(findStatus_.get()), text.c_str());
    GtkStyleContext* style = gtk_widget_get_style_context(findEntry_.get());
    if (failed) {
        gtk_style_context_add_class(style, GTK_STYLE_CLASS_ERROR);
    } else {
        gtk_style_context_remove_class(style, GTK_STYLE_CLASS_ERROR);
    }
}

HRESULT TWebKitCommands::FindText(const std::string& text) {
    if (!view_ || !document_) {
        return OLECMDERR_E_NOTSUPPORTED;
    }
    gtk_entry_set_text(GTK_ENTRY(findEntry_.get()), text.c_str());
    gtk_widget_show(findBox_.get());
    Search(false);
    return S_OK;
}

bool TWebKitCommands::CloseFindBox() {
    if (!gtk_widget_get_visible(findBox_.get())) {
        return false;
    }
    const bool hadFocus = Focus() == TBrowserFocus::bfFindBox;
    if (view_) {
        webkit_find_controller_search_finish(webkit_web_view_get_find_controller(view_));
    }
    searchedText_.clear();
    matchCount_ = 0;
    SetFindStatus("", false);
    gtk_widget_hide(findBox_.get());
    if (hadFocus && view_) {
        gtk_widget_grab_focus(GTK_WIDGET(view_));
    }
    return true;
}

void TWebKitCommands::OnFoundText(WebKitFindController*, guint count, gpointer self) noexcept {
    auto* commands = static_cast<TWebKitCommands*>(self);
    try {
        if (!commands->steppingToNext_ || commands->matchCount_ == 0) {
            commands->matchCount_ = count;
        }
        commands->steppingToNext_ = false;
        commands->SetFindStatus(MatchText(commands->matchCount_), false);
    } catch (...) {
        TraceCaughtError("the find box's matches");
    }
}

void TWebKitCommands::OnFailedToFind(WebKitFindController*, gpointer self) noexcept {
    auto* commands = static_cast<TWebKitCommands*>(self);
    try {
        commands->matchCount_ = 0;
        commands->steppingToNext_ = false;
        commands->SetFindStatus("Not found", true);
    } catch (...) {
        TraceCaughtError("the find box's failed search");
    }
}

// --- Documents and focus --------------------------------------------------------------------

void TWebKitCommands::OnLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self) noexcept {
    auto* commands = static_cast<TWebKitCommands*>(self);
    if (event != WEBKIT_LOAD_COMMITTED) {
        return;
    }
    try {
        // A new document: the old one's automation object answers no more, and what was
        // found or focused in it is gone with it.
        if (commands->document_) {
            commands->document_->Detach();
        }
        commands->document_ = ComPtr<TWebKitDocument>(new TWebKitDocument(commands));
        commands->editing_ = false;
        commands->searchedText_.clear();
        commands->matchCount_ = 0;
        commands->SetFindStatus("", false);
    } catch (...) {
        TraceCaughtError("the commands' new document");
    }
}

TBrowserFocus TWebKitCommands::Focus() const {
    GtkWindow* top = Toplevel();
    GtkWidget* focus = top ? gtk_window_get_focus(top) : nullptr;
    if (!focus) {
        return TBrowserFocus::bfElsewhere;
    }
    if (view_ && focus == GTK_WIDGET(view_)) {
        return editing_ ? TBrowserFocus::bfPageTextField : TBrowserFocus::bfPage;
    }
    if (focus == findBox_.get() || gtk_widget_is_ancestor(focus, findBox_.get())) {
        return TBrowserFocus::bfFindBox;
    }
    return TBrowserFocus::bfElsewhere;
}

} // namespace kiva
