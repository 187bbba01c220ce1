// kvb list: the entries of a book, one by one as the directory holds them.

#include <cstdio>
#include <optional>

#include "KvbBook.h"
#include "KvbCommands.h"
#include "KvbExtract.h"

namespace kiva {

namespace {

const char* MethodName(std::uint8_t method) {
    switch (method) {
    case emCompressed:
        return "deflate";
    case emStored:
        return "stored";
    case emCompressedEncrypted:
        return "deflate+enc";
    case emStoredEncrypted:
        return "stored+enc";
    default:
        return nullptr;
    }
}

std::string Method(std::uint8_t method) {
    const char* name = MethodName(method);
    return name ? std::string(name) : Format("other(%d)", method);
}

std::int64_t StoredSize(const TArchiveEntry& e) {
    switch (e.Method) {
    case emCompressed:
        return e.CompressedSize;
    case emCompressedEncrypted:
    case emStoredEncrypted:
        return e.EncryptedSize;
    default:
        return e.UncompressedSize;
    }
}

std::string LongLine(const std::string& method, const std::string& size, const std::string& stored,
                     const std::string& crc, const std::string& name) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%-12s %12s %12s  %-8s  ", method.c_str(), size.c_str(),
                  stored.c_str(), crc.c_str());
    return buf + name + "\n";
}

enum class TListForm { Names, Long, Tsv, Null };

int RunList(TCli& cli, std::vector<std::string> args) {
    TArgs r(cli, std::move(args), {{'l', "long", false}, {0, "tsv", false}, {0, "null", false}});
    std::vector<std::string> books;
    std::optional<TListForm> form;
    auto choose = [&](TListForm f) {
        if (form && *form != f) {
            throw EUsageError("choose one of -l, --tsv and --null");
        }
        form = f;
    };
    while (r.Next()) {
        if (!r.IsOption()) {
            books.push_back(r.Current());
        } else if (r.Is("long")) {
            choose(TListForm::Long);
        } else if (r.Is("tsv")) {
            choose(TListForm::Tsv);
        } else if (r.Is("null")) {
            choose(TListForm::Null);
        }
    }
    if (books.size() != 1) {
        throw EUsageError(books.empty() ? "no book given" : "too many arguments");
    }
    RefuseDash(books[0], "the book", "kvb reads a book from a file it can seek in");
    // -v lists as -l does, like tar -tv.
    const TListForm f = form.value_or(cli.Verbose() ? TListForm::Long : TListForm::Names);

    TBook book(books[0]);
    const int count = book.Count();
    // Lines go out in blocks as the entries are read; the listing is never held whole.
    std::string out;
    auto flush = [&](bool always) {
        if (always || out.size() >= 64 * 1024) {
            WriteStdout(out);
            out.clear();
        }
    };
    if (f == TListForm::Long) {
        out += LongLine("Method", "Size", "Stored", "CRC", "Name");
    }
    std::int64_t totalSize = 0, totalStored = 0;
    for (int i = 0; i < count; ++i) {
        const TArchiveEntry e = book.Entry(i);
        switch (f) {
        case TListForm::Names:
            out += ShownName(e) + "\n";
            break;
        case TListForm::Null:
            out += EntryName(e);
            out += '\0';
            break;
        case TListForm::Tsv:
            out += Format("%s\t%d\t%d\t%s\t%s\n", Method(e.Method), e.UncompressedSize,
                          StoredSize(e), CrcText(e.CRC), BackslashEscaped(EntryName(e)));
            break;
        case TListForm::Long:
            totalSize += e.UncompressedSize;
            totalStored += StoredSize(e);
            out += LongLine(Method(e.Method), std::to_string(e.UncompressedSize),
                            std::to_string(StoredSize(e)), CrcText(e.CRC), ShownName(e));
            break;
        }
        flush(false);
    }
    if (f == TListForm::Long) {
        out += LongLine("", std::to_string(totalSize), std::to_string(totalStored), "",
                        Format("%d %s", count, count == 1 ? "entry" : "entries"));
    }
    flush(true);
    return kExitOk;
}

} // namespace

const TKvbCommand kListCommand = {
    "list", "kvb list BOOK [-l | --tsv | --null]", "list the entries",
    "Lists the entries in directory order, one name per line, with '/' between folders.\n"
    "Control characters in names are shown as '?'.\n"
    "\n"
    "Options:\n"
    "  -l, --long   also show method, size, stored size and CRC, and the totals\n"
    "  --tsv        one tab-separated line per entry: method, size, stored size, CRC and\n"
    "               name, with tab, line breaks and backslash in names written \\t, \\n, \\r\n"
    "               and \\\\; no heading\n"
    "  --null       full names, each ended by a NUL byte instead of a line break\n"
    "  -q, --quiet  no warnings\n"
    "  -v, --verbose  list as -l does\n",
    RunList};

} // namespace kiva
