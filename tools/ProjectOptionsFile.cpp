#include "ProjectOptionsFile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

namespace kiva {

namespace {

// The largest window extent the window system accepts.
constexpr std::int32_t kMaxWindowExtent = 32767;

bool IsWindowExtent(const TOptionField& f) {
    return f.Offset == projopt::WindowWidth || f.Offset == projopt::WindowHeight;
}

std::optional<std::int32_t> ParseInt(const std::string& s) {
    if (s.empty()) {
        return std::nullopt;
    }
    std::size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (i == s.size()) {
        return std::nullopt;
    }
    for (std::size_t k = i; k < s.size(); ++k) {
        if (s[k] < '0' || s[k] > '9') {
            return std::nullopt;
        }
    }
    errno = 0;
    long long v = std::strtoll(s.c_str(), nullptr, 10);
    if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(v);
}

// The edit distance of two keys, letter case ignored.
std::size_t Distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            const bool same = SameTextAscii(a.substr(i - 1, 1), b.substr(j - 1, 1));
            row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::optional<std::size_t> FieldIndex(std::string_view key) {
    const auto fields = OptionFields();
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (SameTextAscii(key, fields[i].Name)) {
            return i;
        }
    }
    return std::nullopt;
}

} // namespace

EOptionsError::EOptionsError(std::vector<std::string> problems)
    : Exception([&] {
          std::string all;
          for (const std::string& p : problems) {
              all += (all.empty() ? "" : "\n") + p;
          }
          return all;
      }()),
      problems_(std::move(problems)) {}

TProjectOptionsRecord DefaultProjectOptions(const std::string& startPage) {
    TProjectOptionsRecord o;
    o.StartPage = startPage;
    o.WindowStyle = 2;
    o.WindowWidth = 1024;
    o.WindowHeight = 768;
    o.CenterWindow = true;
    o.ShowToolBar = true;
    o.ShowButtonCaptions = true;
    o.ShowStatusBar = true;
    o.AllowCopy = true;
    o.AllowFind = true;
    o.AllowPrint = true;
    o.AllowFontSize = true;
    return o;
}

std::string NearestOptionKey(std::string_view key) {
    std::string best;
    std::size_t bestDistance = SIZE_MAX;
    for (const TOptionField& f : OptionFields()) {
        const std::size_t d = Distance(key, f.Name);
        if (d < bestDistance) {
            bestDistance = d;
            best = f.Name;
        }
    }
    // A key that shares less than half its letters with every known one was no typing slip.
    return bestDistance * 2 <= std::max<std::size_t>(key.size(), 4) ? best : std::string();
}

namespace {

// Checks one "key = value" and stores it; problems and warnings begin with where.
void Assign(TProjectOptionsFile& o, const std::string& key, std::string value,
            const std::string& where, std::vector<std::string>& problems) {
    const auto index = FieldIndex(key);
    if (!index) {
        const std::string nearest = NearestOptionKey(key);
        problems.push_back(Format("%s: unknown key \"%s\"%s", where, key,
                                  nearest.empty() ? std::string(" (the keys are listed in kvb(1))")
                                                  : Format("; did you mean %s?", nearest)));
        return;
    }
    const TOptionField& f = OptionFields()[*index];
    if (o.Given[*index]) {
        problems.push_back(Format("%s: %s is given twice", where, f.Name));
        return;
    }
    o.Given[*index] = true;
    switch (f.Kind) {
    case TOptionKind::Text:
        if (value.size() > kShortTextMax) {
            problems.push_back(
                Format("%s: %s is %d bytes long; at most 255 fit", where, f.Name, value.size()));
            return;
        }
        o.*f.Text = std::move(value);
        return;
    case TOptionKind::Number: {
        const auto v = ParseInt(value);
        if (!v || (IsWindowExtent(f) && (*v < 0 || *v > kMaxWindowExtent))) {
            problems.push_back(Format("%s: %s needs a whole number%s, not \"%s\"", where, f.Name,
                                      IsWindowExtent(f) ? " from 0 to 32767" : "", value));
            return;
        }
        if (f.Offset == projopt::WindowStyle && (*v < 0 || *v > 3)) {
            o.Warnings.push_back(Format("%s: WindowStyle %d is not one of 0 to 3; the viewer "
                                        "gives such a window a fixed frame with minimise and "
                                        "maximise buttons",
                                        where, *v));
        }
        o.*f.Number = *v;
        return;
    }
    case TOptionKind::Flag:
        if (value != "0" && value != "1") {
            problems.push_back(Format("%s: %s needs 0 or 1, not \"%s\"", where, f.Name, value));
            return;
        }
        o.*f.Flag = value == "1";
        return;
    }
}

// Splits "key = value" at its first '=', trimming both and taking double quotes off the value.
std::optional<std::pair<std::string, std::string>> SplitKeyValue(std::string_view line) {
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
        return std::nullopt;
    }
    std::string key = Trim(line.substr(0, eq));
    std::string value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
    }
    return std::make_pair(std::move(key), std::move(value));
}

} // namespace

TProjectOptionsFile TProjectOptionsFile::ParseIni(std::string_view text,
                                                  const std::string& sourceName) {
    TProjectOptionsFile result;
    std::vector<std::string> problems;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    int lineNo = 0;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        const std::string_view raw = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        ++lineNo;
        const std::string where = Format("%s:%d", sourceName, lineNo);
        const std::string line = Trim(raw);
        if (line.empty() || line[0] == '#' || line[0] == ';') {
            continue;
        }
        if (line[0] == '[') {
            const std::string section =
                Trim(std::string_view(line).substr(1, line.size() - (line.back() == ']' ? 2 : 1)));
            if (line.back() != ']') {
                problems.push_back(where + ": unterminated section heading");
            } else if (!SameTextAscii(section, "Options")) {
                problems.push_back(
                    Format("%s: unknown section [%s] (only [Options] is read)", where, section));
            }
            continue;
        }
        auto kv = SplitKeyValue(line);
        if (!kv) {
            problems.push_back(where + ": expected Key=Value");
            continue;
        }
        Assign(result, kv->first, std::move(kv->second), where, problems);
    }
    if (!problems.empty()) {
        throw EOptionsError(std::move(problems));
    }
    return result;
}

TProjectOptionsFile TProjectOptionsFile::LoadIni(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    if (!in) {
        throw EOptionsError(
            {Format("cannot read options file \"%s\": %s", fileName, std::strerror(errno))});
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) {
        throw EOptionsError({Format("cannot read options file \"%s\"", fileName)});
    }
    return ParseIni(ss.str(), fileName);
}

void TProjectOptionsFile::Set(std::string_view keyValue) {
    const std::string where = Format("--set %s", keyValue);
    std::vector<std::string> problems;
    auto kv = SplitKeyValue(keyValue);
    if (!kv) {
        problems.push_back(where + ": expected KEY=VALUE");
    } else {
        // A later --set replaces what the file or an earlier --set gave.
        if (const auto index = FieldIndex(kv->first)) {
            Given[*index] = false;
        }
        Assign(*this, kv->first, std::move(kv->second), where, problems);
    }
    if (!problems.empty()) {
        throw EOptionsError(std::move(problems));
    }
}

bool TProjectOptionsFile::IsGiven(std::string_view key) const {
    const auto index = FieldIndex(key);
    return index && Given[*index];
}

void TProjectOptionsFile::FillDefaults(const TProjectOptionsRecord& defaults) {
    const auto fields = OptionFields();
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (Given[i]) {
            continue;
        }
        const TOptionField& f = fields[i];
        switch (f.Kind) {
        case TOptionKind::Text:
            this->*f.Text = defaults.*f.Text;
            break;
        case TOptionKind::Number:
            this->*f.Number = defaults.*f.Number;
            break;
        case TOptionKind::Flag:
            this->*f.Flag = defaults.*f.Flag;
            break;
        }
    }
}

std::vector<std::string> TProjectOptionsFile::Usability() const {
    std::vector<std::string> out;
    if (Trim(StartPage).empty()) {
        out.push_back("StartPage is empty: the book opens no page (--defaults starts it at "
                      "index.html)");
    }
    // A maximised window takes the screen's size whatever the record says.
    if (WindowStyle != 3) {
        if (WindowWidth == 0) {
            out.push_back("WindowWidth is 0: the window opens at its least width");
        }
        if (WindowHeight == 0) {
            out.push_back("WindowHeight is 0: the window opens with no room for the page");
        }
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> OptionTexts(const TProjectOptionsRecord& o) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const TOptionField& f : OptionFields()) {
        switch (f.Kind) {
        case TOptionKind::Text:
            out.emplace_back(f.Name, o.*f.Text);
            break;
        case TOptionKind::Number:
            out.emplace_back(f.Name, std::to_string(o.*f.Number));
            break;
        case TOptionKind::Flag:
            out.emplace_back(f.Name, std::string(1, (o.*f.Flag) ? '1' : '0'));
            break;
        }
    }
    return out;
}

} // namespace kiva
