#include "PageText.h"

#include <libxml/HTMLparser.h>
#include <libxml/encoding.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "SysUtils.h"

namespace kiva {
namespace {

// Headings and titles are short; their caps only guard against pages that put everything in
// one of them.
constexpr std::size_t kMaxTitleBytes = 1024;
constexpr std::size_t kMaxHeadingBytes = 64 * 1024;
// A page with a NUL byte this close to its start is no HTML (unless it is UTF-16).
constexpr std::size_t kBinaryProbeBytes = 4096;

// Elements that flow with the text around them; every other element starts and ends a block,
// so that the words of two cells or paragraphs never run together.
bool IsInline(const char* name) {
    static const char* const kInline[] = {
        "a",      "abbr",   "b",   "bdi", "bdo",  "big", "cite", "code", "data",  "dfn",
        "em",     "font",   "i",   "kbd", "mark", "q",   "s",    "samp", "small", "span",
        "strike", "strong", "sub", "sup", "time", "tt",  "u",    "var",  "wbr",
    };
    for (const char* n : kInline) {
        if (std::strcmp(n, name) == 0) {
            return true;
        }
    }
    return false;
}

// Content a reader never sees as text.
bool IsHidden(const char* name) {
    return std::strcmp(name, "script") == 0 || std::strcmp(name, "style") == 0 ||
           std::strcmp(name, "template") == 0 || std::strcmp(name, "noscript") == 0;
}

bool IsHeading(const char* name) {
    return name[0] == 'h' && name[1] >= '1' && name[1] <= '6' && name[2] == '\0';
}

// Collects text with every run of white space and control characters made one space, so that
// the text holds no character the excerpts could mistake for their own marks.
class TTextSink {
public:
    explicit TTextSink(std::size_t cap) : cap_(cap) {}

    void Add(const char* s, std::size_t len) {
        for (std::size_t i = 0; i < len && !Full(); ++i) {
            const auto c = static_cast<unsigned char>(s[i]);
            if (c <= ' ' || c == 0x7F) {
                space_ = true;
                continue;
            }
            if (space_ && !text_.empty()) {
                text_ += ' ';
            }
            space_ = false;
            text_ += static_cast<char>(c);
        }
    }
    void Break() { space_ = true; }
    bool Full() const { return text_.size() >= cap_; }
    // The text, cut back to the last whole character when the cap cut one.
    std::string Take() {
        if (Full()) {
            std::size_t end = text_.size();
            std::size_t back = 0;
            while (end > 0 && back < 4 &&
                   (static_cast<unsigned char>(text_[end - 1]) & 0xC0) == 0x80) {
                --end;
                ++back;
            }
            if (end > 0 && static_cast<unsigned char>(text_[end - 1]) >= 0xC0) {
                --end;
            }
            text_.resize(end);
        }
        return std::move(text_);
    }

private:
    std::string text_;
    std::size_t cap_;
    bool space_ = false;
};

std::string AttributeValue(const xmlChar** atts, const char* name) {
    for (int i = 0; atts && atts[i]; i += 2) {
        if (xmlStrcasecmp(atts[i], reinterpret_cast<const xmlChar*>(name)) == 0) {
            return atts[i + 1] ? reinterpret_cast<const char*>(atts[i + 1]) : "";
        }
    }
    return std::string();
}

// The SAX receiver of one parse.
class TCollector {
public:
    TTextSink Title{kMaxTitleBytes};
    TTextSink Headings{kMaxHeadingBytes};
    TTextSink Body{kMaxPageTextBytes};
    std::string Lang;
    std::string DeclaredCharset;
    xmlParserCtxtPtr Context = nullptr;
    const std::atomic<bool>* Stop = nullptr;
    bool Stopped = false;

    void Start(const char* name, const xmlChar** atts) {
        if (IsHidden(name)) {
            ++hidden_;
        } else if (std::strcmp(name, "title") == 0) {
            ++title_;
        } else if (IsHeading(name)) {
            ++heading_;
            Headings.Break();
        } else if (std::strcmp(name, "html") == 0 && Lang.empty()) {
            Lang = AttributeValue(atts, "lang");
            if (Lang.empty()) {
                Lang = AttributeValue(atts, "xml:lang");
            }
        } else if (std::strcmp(name, "meta") == 0) {
            NoteCharset(atts);
        }
        if (!IsInline(name)) {
            Body.Break();
        }
    }

    void End(const char* name) {
        if (IsHidden(name)) {
            hidden_ = std::max(0, hidden_ - 1);
        } else if (std::strcmp(name, "title") == 0) {
            title_ = std::max(0, title_ - 1);
            titleDone_ = true;
        } else if (IsHeading(name)) {
            heading_ = std::max(0, heading_ - 1);
            Headings.Break();
        }
        if (!IsInline(name)) {
            Body.Break();
        }
    }

    void Text(const char* s, std::size_t len) {
        if (hidden_ > 0) {
            return;
        }
        if (title_ > 0) {
            // A page has one title; an svg's title elements are labels of pictures.
            if (!titleDone_) {
                Title.Add(s, len);
            }
            return;
        }
        if (heading_ > 0) {
            Headings.Add(s, len);
        }
        Body.Add(s, len);
        if ((Body.Full() || (Stop && *Stop)) && !Stopped) {
            Stopped = true;
            xmlStopParser(Context);
        }
    }

private:
    void NoteCharset(const xmlChar** atts) {
        std::string charset = AttributeValue(atts, "charset");
        if (charset.empty() && SameTextAscii(AttributeValue(atts, "http-equiv"), "content-type")) {
            const std::string content = AnsiLowerCaseAscii(AttributeValue(atts, "content"));
            const std::size_t at = content.find("charset=");
            if (at != std::string::npos) {
                charset = content.substr(at + 8);
                charset = charset.substr(0, charset.find_first_of("; \"'"));
            }
        }
        if (DeclaredCharset.empty()) {
            DeclaredCharset = Trim(charset);
        }
    }

    int hidden_ = 0;
    int title_ = 0;
    int heading_ = 0;
    bool titleDone_ = false;
};

TCollector& Of(void* ctx) {
    auto* parser = static_cast<xmlParserCtxtPtr>(ctx);
    return *static_cast<TCollector*>(parser->_private);
}

void OnStart(void* ctx, const xmlChar* name, const xmlChar** atts) {
    Of(ctx).Start(reinterpret_cast<const char*>(name), atts);
}
void OnEnd(void* ctx, const xmlChar* name) {
    Of(ctx).End(reinterpret_cast<const char*>(name));
}
void OnText(void* ctx, const xmlChar* s, int len) {
    Of(ctx).Text(reinterpret_cast<const char*>(s), static_cast<std::size_t>(std::max(len, 0)));
}
void OnScriptText(void*, const xmlChar*, int) {}
void OnMessage(void*, const char*, ...) {}

struct TContextDeleter {
    void operator()(xmlParserCtxtPtr c) const noexcept { htmlFreeParserCtxt(c); }
};

void InitOnce() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

// One run of the parser over the bytes, decoded by the given character set, or else by the one
// the page declares.
void Parse(std::string_view bytes, const char* charset, const std::atomic<bool>* stop,
           TCollector& out) {
    InitOnce();
    std::unique_ptr<xmlParserCtxt, TContextDeleter> ctxt(
        htmlCreateMemoryParserCtxt(bytes.data(), static_cast<int>(bytes.size())));
    if (!ctxt) {
        throw Exception("Out of memory while reading a page");
    }
    if (charset) {
        // Without a decoder, the parser would take the first byte beyond ASCII as Latin-1.
        xmlCharEncodingHandlerPtr handler = xmlFindCharEncodingHandler(charset);
        if (!handler || xmlSwitchToEncoding(ctxt.get(), handler) != 0) {
            throw Exception(Format("No decoder for %s", charset));
        }
        xmlFree(const_cast<xmlChar*>(ctxt->input->encoding));
        ctxt->input->encoding = xmlStrdup(reinterpret_cast<const xmlChar*>(charset));
    }
    htmlSAXHandler sax{};
    sax.startElement = OnStart;
    sax.endElement = OnEnd;
    sax.characters = OnText;
    sax.ignorableWhitespace = OnText;
    sax.cdataBlock = OnScriptText;
    sax.warning = OnMessage;
    sax.error = OnMessage;
    sax.fatalError = OnMessage;
    std::memcpy(ctxt->sax, &sax, sizeof sax);
    ctxt->userData = ctxt.get();
    ctxt->_private = &out;
    out.Context = ctxt.get();
    out.Stop = stop;
    htmlCtxtUseOptions(ctxt.get(), HTML_PARSE_RECOVER | HTML_PARSE_NONET | HTML_PARSE_NOERROR |
                                       HTML_PARSE_NOWARNING |
                                       (charset ? HTML_PARSE_IGNORE_ENC : 0));
    htmlParseDocument(ctxt.get());
    out.Context = nullptr;
}

bool HasByteOrderMark(std::string_view b) {
    return b.starts_with("\xEF\xBB\xBF") || b.starts_with("\xFF\xFE") || b.starts_with("\xFE\xFF");
}

bool KnownCharset(const std::string& name) {
    if (name.empty()) {
        return false;
    }
    xmlCharEncodingHandlerPtr handler = xmlFindCharEncodingHandler(name.c_str());
    if (!handler) {
        return false;
    }
    xmlCharEncCloseFunc(handler);
    return true;
}

// The bytes without a character that the cap cut in two.
std::string_view WholeCharacters(std::string_view b) {
    std::size_t end = b.size();
    for (std::size_t back = 0; back < 3 && end > 0; ++back) {
        const auto c = static_cast<unsigned char>(b[end - 1]);
        if (c < 0x80) {
            break;
        }
        --end;
        if (c >= 0xC0) {
            break;
        }
    }
    return IsValidUtf8(b) ? b : b.substr(0, end);
}

} // namespace

TPageText ExtractPageText(std::string_view html, const std::atomic<bool>* stop) {
    TPageText page;
    if (html.size() > kMaxPageBytes) {
        html = html.substr(0, kMaxPageBytes);
        page.Truncated = true;
    }
    const bool bom = HasByteOrderMark(html);
    if (!bom && html.substr(0, kBinaryProbeBytes).find('\0') != std::string_view::npos) {
        throw Exception("The page is not text");
    }
    auto collector = std::make_unique<TCollector>();
    Parse(html, nullptr, stop, *collector);
    if (!bom && !KnownCharset(collector->DeclaredCharset)) {
        // Nothing declared, or a character set the parser does not know: UTF-8 when the bytes
        // are, else Windows-1252 as in the pages of old books made on Windows.
        const std::string_view whole = page.Truncated ? WholeCharacters(html) : html;
        collector = std::make_unique<TCollector>();
        if (IsValidUtf8(whole)) {
            Parse(html, "UTF-8", stop, *collector);
        } else {
            Parse(Cp1252ToUtf8(html), "UTF-8", stop, *collector);
        }
    }
    page.Truncated = page.Truncated || collector->Body.Full();
    page.Title = collector->Title.Take();
    page.Headings = collector->Headings.Take();
    page.Body = collector->Body.Take();
    page.Lang = std::move(collector->Lang);
    return page;
}

} // namespace kiva
