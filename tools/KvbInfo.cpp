// kvb verify and kvb info: whether a book is whole, and what it holds.

#include <cstdio>

#include "KvbBook.h"
#include "KvbCommands.h"
#include "KvbExtract.h"
#include "KvbWriter.h"
#include "ProjectOptionsFile.h"

namespace kiva {

namespace {

std::string OneBook(TCli& cli, std::vector<std::string> args) {
    TArgs r(cli, std::move(args), {});
    std::vector<std::string> ops;
    while (r.Next()) {
        ops.push_back(r.Current());
    }
    if (ops.size() != 1) {
        throw EUsageError(ops.empty() ? "no book given" : "too many arguments");
    }
    RefuseDash(ops[0], "the book", "kvb reads a book from a file it can seek in");
    return ops[0];
}

int RunVerify(TCli& cli, std::vector<std::string> args) {
    TBook book(OneBook(cli, std::move(args)));
    int failures = 0;
    {
        TFileStream file(book.FileName(), fmOpenRead | fmShareDenyWrite);
        const std::uint32_t crc = StreamCRC32(file, book.Reader().BaseOffset(), kTrailerSize);
        if (crc != book.Reader().Trailer().ArchiveCRC) {
            cli.Error(Format("%s: the book's CRC does not match its content (stored %s, "
                             "computed %s)",
                             book.FileName(), CrcText(book.Reader().Trailer().ArchiveCRC),
                             CrcText(crc)));
            ++failures;
        }
    }
    const int count = book.Count();
    for (int i = 0; i < count; ++i) {
        const TArchiveEntry e = book.Entry(i);
        if (e.Method == emCompressedEncrypted || e.Method == emStoredEncrypted) {
            cli.Note(Format("%s: entry %s is encrypted and cannot be checked", book.FileName(),
                            ShownName(e)));
            continue;
        }
        try {
            TMemoryStream content;
            book.Extract(i, content);
            cli.Detail("ok " + ShownName(e));
        } catch (const Exception& ex) {
            cli.Error(ex.Message());
            ++failures;
        }
    }
    if (failures > 0) {
        cli.Error(Format("%s: %d problem(s) found", book.FileName(), failures));
        return kExitFailure;
    }
    cli.Report(Format("OK: %d entries, archive CRC %s", count,
                      CrcText(book.Reader().Trailer().ArchiveCRC)));
    return kExitOk;
}

// What the viewer makes of an option's value, in a few words.
std::string Meaning(const TOptionField& f, const TProjectOptionsRecord& o) {
    const std::size_t at = f.Offset;
    if (f.Kind == TOptionKind::Flag) {
        static const struct {
            std::size_t Offset;
            const char* On;
            const char* Off;
        } kFlags[] = {
            {projopt::HideScrollBars, "pages show no scroll bars", "pages show scroll bars"},
            {projopt::CenterWindow, "centred", "centred all the same"},
            {projopt::ShowToolBar, "tool bar shown", "no tool bar"},
            {projopt::ShowButtonCaptions, "buttons with captions", "buttons without captions"},
            {projopt::ShowStatusBar, "status bar shown", "no status bar"},
            {projopt::AllowCopy, "Copy allowed", "no Copy"},
            {projopt::AllowFind, "Find allowed", "no Find"},
            {projopt::AllowPrint, "Print allowed", "no Print"},
            {projopt::AllowFontSize, "text size allowed", "no text size"},
        };
        for (const auto& flag : kFlags) {
            if (flag.Offset == at) {
                return (o.*f.Flag) ? flag.On : flag.Off;
            }
        }
        return std::string();
    }
    if (at == projopt::StartPage) {
        return o.StartPage.empty()
                   ? "none: the viewer opens no page"
                   : "home kiva://bundle/" + ExtractFileName(ArchiveText(o.StartPage));
    }
    if (at == projopt::WindowStyle) {
        switch (o.WindowStyle) {
        case 0:
            return "no frame, no title bar";
        case 1:
            return "fixed frame, minimise button only";
        case 2:
            return "sizeable frame";
        case 3:
            return "full screen, no frame";
        default:
            return "fixed frame with minimise and maximise buttons";
        }
    }
    if (at == projopt::WindowWidth || at == projopt::WindowHeight) {
        if (o.WindowStyle == 3) {
            return "unused: the window fills the screen";
        }
        return at == projopt::WindowWidth && o.WindowWidth < 200 ? "pixels; at least 200 are shown"
                                                                 : "pixels";
    }
    if (at == projopt::LogoFile) {
        return o.LogoFile.empty() ? "the built-in logo" : "the logo comes from the entry -logo-";
    }
    if (at == projopt::ExternalMasks) {
        return o.ExternalMasks.empty() ? "no links handed to the desktop"
                                       : "links to these files open on the desktop";
    }
    if (at == projopt::UserAgentText) {
        return o.UserAgentText.empty() ? "the browser's own" : "sent with every request";
    }
    return std::string();
}

// The options of the record, one per line, with their meaning; the password only as set or not.
std::string DescribeOptions(const TProjectOptionsRecord& o) {
    std::string out;
    for (const TOptionField& f : OptionFields()) {
        if (f.Offset == projopt::ViewPassword) {
            // The password keeps honest readers out of the viewer; printing it would not.
            out += o.ViewPassword.empty() ? "  ViewPassword: none\n"
                                          : "  ViewPassword: set (not shown)\n";
            continue;
        }
        std::string value;
        switch (f.Kind) {
        case TOptionKind::Text:
            // An empty text shows as "", so that the line does not look cut off.
            value = (o.*f.Text).empty() ? "\"\"" : Printable(ArchiveText(o.*f.Text));
            break;
        case TOptionKind::Number:
            value = std::to_string(o.*f.Number);
            break;
        case TOptionKind::Flag:
            value = (o.*f.Flag) ? "1" : "0";
            break;
        }
        const std::string meaning = Meaning(f, o);
        out += Format("  %s = %s%s\n", f.Name, value, meaning.empty() ? "" : "  (" + meaning + ")");
    }
    return out;
}

int RunInfo(TCli& cli, std::vector<std::string> args) {
    TBook book(OneBook(cli, std::move(args)));
    const TArchiveTrailer& t = book.Reader().Trailer();
    std::string out = Format("Version: %d\nEntries: %d\nDirectory size: %d%s\nData size: %d\n"
                             "Base offset: %d\nArchive CRC: %s\n",
                             t.Version, t.EntryCount, t.DirectorySize,
                             t.DirectoryCompressed ? " (compressed)" : " (raw)", t.DataSize,
                             book.Reader().BaseOffset(), CrcText(t.ArchiveCRC));
    const int logo = book.Reader().IndexOfFile(kLogoEntryName);
    if (logo >= 0) {
        out += Format("Logo: %d bytes\n", book.Entry(logo).UncompressedSize);
    }
    const int config = book.Reader().IndexOfFile(kConfigEntryName);
    if (config < 0) {
        WriteStdout(out + "Project options: none (the viewer shows no page)\n");
        return kExitOk;
    }
    TMemoryStream rec;
    try {
        book.Extract(config, rec);
    } catch (const Exception& e) {
        WriteStdout(out);
        cli.Error(e.Message());
        return kExitFailure;
    }
    const auto size = static_cast<std::size_t>(rec.Size());
    out += "Project options:";
    if (size != kProjectOptionsRecordSize) {
        out += Format(" (record of %d bytes, expected %d)", size, kProjectOptionsRecordSize);
    }
    out += "\n";
    const TProjectOptionsRecord options = TProjectOptionsRecord::Decode(rec.Memory(), size);
    out += DescribeOptions(options);
    if (!options.ToolText.empty()) {
        out += "  (written by " + Printable(ArchiveText(options.ToolText)) + ")\n";
    }
    WriteStdout(out);
    return kExitOk;
}

} // namespace

const TKvbCommand kVerifyCommand = {
    "verify", "kvb verify BOOK", "check the book and every entry against their CRCs",
    "Checks the book's CRC and extracts every entry to check its CRC. Reports each problem\n"
    "naming the entry, or prints a summary starting with \"OK\".\n"
    "\n"
    "Options:\n"
    "  -q, --quiet    no summary\n"
    "  -v, --verbose  name each entry checked\n",
    RunVerify};

const TKvbCommand kInfoCommand = {
    "info", "kvb info BOOK", "show the trailer and what the project options mean",
    "Shows the trailer fields and, when the book has \"-config-\", the project options with\n"
    "what the viewer makes of them. The view password is never shown, only whether there\n"
    "is one.\n"
    "\n"
    "Options:\n"
    "  -q, --quiet, -v, --verbose  taken as by every command; info says the same\n",
    RunInfo};

} // namespace kiva
