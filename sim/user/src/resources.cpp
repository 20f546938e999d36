// Simulated Win32 user mode: the program's resources, read from the resource script (.rc) that
// the Windows build compiles, and LoadStringW over them. The reader knows the statements such a
// script uses: the preprocessor lines (#include of a header of #defines, #define, #ifndef,
// #pragma code_page), LANGUAGE, STRINGTABLE, DIALOG/DIALOGEX with their controls, ICON and
// RT_MANIFEST. Anything else, or a symbol it cannot resolve, is an error, so that a typo in the
// script fails the tests instead of silently vanishing.
#include "platform/user.h"
#include "sim/user/src/resources_internal.h"
#include "sim/user/include/sim_user.h"

#include <cstdint>
#include <fstream>
#include <mutex>
#include <sstream>

namespace sim::user {

namespace {

// ---------------------------------------------------------------------------------------------
// Symbols the Windows headers give a resource script
// ---------------------------------------------------------------------------------------------

const std::map<std::string, int64_t>& WindowsSymbols()
{
    static const std::map<std::string, int64_t> symbols = {
        { "LANG_NEUTRAL", 0x00 }, { "LANG_ENGLISH", 0x09 }, { "LANG_JAPANESE", 0x11 },
        { "SUBLANG_NEUTRAL", 0x00 }, { "SUBLANG_DEFAULT", 0x01 }, { "SUBLANG_ENGLISH_US", 0x01 },
        { "RT_MANIFEST", 24 }, { "IDOK", 1 }, { "IDCANCEL", 2 },
        { "WS_POPUP", 0x80000000LL }, { "WS_CHILD", 0x40000000 }, { "WS_VISIBLE", 0x10000000 },
        { "WS_DISABLED", 0x08000000 }, { "WS_CAPTION", 0x00C00000 }, { "WS_BORDER", 0x00800000 },
        { "WS_SYSMENU", 0x00080000 }, { "WS_GROUP", 0x00020000 }, { "WS_TABSTOP", 0x00010000 },
        { "DS_SETFONT", 0x40 }, { "DS_MODALFRAME", 0x80 }, { "DS_CENTER", 0x0800 },
        { "DS_SHELLFONT", 0x48 }, { "DS_FIXEDSYS", 0x0008 },
        { "BS_PUSHBUTTON", 0x0 }, { "BS_DEFPUSHBUTTON", 0x1 }, { "BS_AUTOCHECKBOX", 0x3 },
        { "BS_RADIOBUTTON", 0x4 }, { "BS_GROUPBOX", 0x7 }, { "BS_AUTORADIOBUTTON", 0x9 },
        { "SS_LEFT", 0x0 }, { "SS_CENTER", 0x1 }, { "SS_ICON", 0x3 },
    };
    return symbols;
}

// ---------------------------------------------------------------------------------------------
// Text decoding
// ---------------------------------------------------------------------------------------------

std::u16string FromUtf8(const std::string& bytes, bool* ok)
{
    std::u16string out;
    size_t i = 0;
    while (i < bytes.size()) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        uint32_t code = 0;
        int extra = 0;
        if (c < 0x80) { code = c; }
        else if ((c & 0xE0) == 0xC0) { code = c & 0x1F; extra = 1; }
        else if ((c & 0xF0) == 0xE0) { code = c & 0x0F; extra = 2; }
        else if ((c & 0xF8) == 0xF0) { code = c & 0x07; extra = 3; }
        else { *ok = false; return out; }
        for (int k = 1; k <= extra; k++) {
            if (i + k >= bytes.size() || (static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) {
                *ok = false;
                return out;
            }
            code = (code << 6) | (static_cast<unsigned char>(bytes[i + k]) & 0x3F);
        }
        i += 1 + extra;
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
    }
    return out;
}

std::string ToNarrow(const std::u16string& s)
{
    std::string out;
    for (char16_t c : s)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

// ---------------------------------------------------------------------------------------------
// Tokens
// ---------------------------------------------------------------------------------------------

struct Token {
    enum Kind { Word, String, Punct, End } Type = End;
    std::u16string Text;    // Word/Punct: as written; String: decoded
    int Line = 0;
};

class Reader {
public:
    Reader(std::string directory) : directory_(std::move(directory)) {}

    bool Run(const std::string& path, ResourceScript* script, std::string* error)
    {
        script_ = script;
        std::string source;
        if (!ReadFile(path, &source))
            return Fail(error, "cannot read " + path);
        if (!Preprocess(source, error))
            return false;
        if (!Tokenize(error))
            return false;
        return ParseScript(error);
    }

private:
    // ---- Files and the preprocessor ----

    static bool ReadFile(const std::string& path, std::string* contents)
    {
        std::ifstream file(path, std::ios::binary);
        if (!file)
            return false;
        std::stringstream buffer;
        buffer << file.rdbuf();
        *contents = buffer.str();
        return true;
    }

    bool Fail(std::string* error, const std::string& why)
    {
        if (error != nullptr)
            *error = why;
        return false;
    }

    static std::string Trim(const std::string& s)
    {
        size_t b = s.find_first_not_of(" \t\r");
        if (b == std::string::npos)
            return std::string();
        size_t e = s.find_last_not_of(" \t\r");
        return s.substr(b, e - b + 1);
    }

    // Reads the #defines of an included header (its own #includes of system headers are skipped).
    bool ReadHeader(const std::string& path, std::string* error)
    {
        std::string contents;
        if (!ReadFile(path, &contents))
            return Fail(error, "cannot read included header " + path);
        std::istringstream lines(contents);
        std::string line;
        while (std::getline(lines, line)) {
            std::string t = Trim(line);
            if (t.rfind("#define", 0) == 0 && !Define(t.substr(7), error))
                return false;
        }
        return true;
    }

    bool Define(const std::string& rest, std::string* error)
    {
        std::istringstream in(rest);
        std::string name;
        in >> name;
        std::string value;
        std::getline(in, value);
        value = Trim(value);
        size_t comment = value.find("//");
        if (comment != std::string::npos)
            value = Trim(value.substr(0, comment));
        if (name.empty())
            return Fail(error, "#define without a name");
        if (symbols_.count(name) != 0)
            return true;
        int64_t number = 0;
        if (!EvaluateDefine(value, &number))
            return true;     // not a number (a string or a function-like macro): not a resource id
        symbols_[name] = number;
        return true;
    }

    bool EvaluateDefine(std::string value, int64_t* number)
    {
        bool negative = false;
        while (!value.empty() && (value.front() == '(' || value.front() == '-')) {
            if (value.front() == '-')
                negative = !negative;
            value.erase(0, 1);
        }
        while (!value.empty() && value.back() == ')')
            value.pop_back();
        if (value.empty())
            return false;
        auto known = symbols_.find(value);
        if (known != symbols_.end()) {
            *number = negative ? -known->second : known->second;
            return true;
        }
        char* end = nullptr;
        long long parsed = std::strtoll(value.c_str(), &end, 0);
        if (end == nullptr || *end != 0)
            return false;
        *number = negative ? -parsed : parsed;
        return true;
    }

    // Handles the preprocessor lines and leaves the rest of the text, as UTF-8, in body_.
    bool Preprocess(const std::string& source, std::string* error)
    {
        symbols_ = WindowsSymbols();
        std::istringstream lines(source);
        std::string line;
        int skipping = 0;       // depth of #if blocks being skipped
        int depth = 0;
        while (std::getline(lines, line)) {
            std::string t = Trim(line);
            if (t.empty() || t[0] != '#') {
                body_ += skipping > 0 ? std::string() : line;
                body_ += '\n';
                continue;
            }
            body_ += '\n';
            std::istringstream in(t.substr(1));
            std::string directive;
            in >> directive;
            std::string argument;
            std::getline(in, argument);
            argument = Trim(argument);
            if (directive == "ifndef" || directive == "ifdef") {
                depth++;
                bool defined = symbols_.count(argument) != 0;
                if (skipping > 0 || (directive == "ifndef") == defined)
                    skipping++;
            } else if (directive == "endif") {
                if (depth == 0)
                    return Fail(error, "#endif without #if");
                depth--;
                if (skipping > 0)
                    skipping--;
            } else if (skipping > 0) {
                continue;
            } else if (directive == "define") {
                if (!Define(argument, error))
                    return false;
            } else if (directive == "include") {
                if (argument.size() >= 2 && argument.front() == '<')
                    continue;    // the Windows headers: their symbols are built in
                if (argument.size() < 2 || argument.front() != '"')
                    return Fail(error, "bad #include " + argument);
                if (!ReadHeader(directory_ + "/" + argument.substr(1, argument.size() - 2), error))
                    return false;
            } else if (directive == "pragma") {
                if (argument.rfind("code_page", 0) == 0 && argument != "code_page(65001)")
                    return Fail(error, "only the UTF-8 code page is read: " + argument);
            } else {
                return Fail(error, "unknown preprocessor line #" + directive);
            }
        }
        if (depth != 0)
            return Fail(error, "#if without #endif");
        return true;
    }

    // ---- Tokenizer ----

    bool Tokenize(std::string* error)
    {
        bool ok = true;
        std::u16string text = FromUtf8(body_, &ok);
        if (!ok)
            return Fail(error, "the script is not UTF-8");
        size_t i = 0;
        int line = 1;
        while (i < text.size()) {
            char16_t c = text[i];
            if (c == u'\n') { line++; i++; continue; }
            if (c == u' ' || c == u'\t' || c == u'\r') { i++; continue; }
            if (c == u'/' && i + 1 < text.size() && text[i + 1] == u'/') {
                while (i < text.size() && text[i] != u'\n')
                    i++;
                continue;
            }
            if (c == u'/' && i + 1 < text.size() && text[i + 1] == u'*') {
                size_t close = text.find(u"*/", i + 2);
                if (close == std::u16string::npos)
                    return Fail(error, "unterminated comment");
                for (size_t k = i; k < close; k++)
                    line += text[k] == u'\n';
                i = close + 2;
                continue;
            }
            Token token;
            token.Line = line;
            bool wide = c == u'L' && i + 1 < text.size() && text[i + 1] == u'"';
            if (c == u'"' || wide) {
                i += wide ? 2 : 1;
                if (!ReadString(text, &i, &token.Text))
                    return Fail(error, "unterminated string on line " + std::to_string(line));
                token.Type = Token::String;
            } else if (IsWordChar(c)) {
                while (i < text.size() && IsWordChar(text[i]))
                    token.Text.push_back(text[i++]);
                token.Type = Token::Word;
            } else if (c == u',' || c == u'|' || c == u'(' || c == u')' || c == u'-' || c == u'+' ||
                       c == u'{' || c == u'}') {
                token.Text.push_back(c);
                token.Type = Token::Punct;
                i++;
            } else {
                return Fail(error, "unexpected character on line " + std::to_string(line));
            }
            tokens_.push_back(token);
        }
        Token end;
        end.Line = line;
        tokens_.push_back(end);
        return true;
    }

    static bool IsWordChar(char16_t c)
    {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_' ||
               c == u'.';
    }

    // Escapes of the resource compiler: "" for a quote, \n \t \r \\ \" \a and \x with hex digits.
    static bool ReadString(const std::u16string& text, size_t* i, std::u16string* out)
    {
        while (*i < text.size()) {
            char16_t c = text[(*i)++];
            if (c == u'"') {
                if (*i < text.size() && text[*i] == u'"') {
                    out->push_back(u'"');
                    (*i)++;
                    continue;
                }
                return true;
            }
            if (c != u'\\' || *i >= text.size()) {
                out->push_back(c);
                continue;
            }
            char16_t e = text[(*i)++];
            switch (e) {
            case u'n': out->push_back(u'\n'); break;
            case u't': out->push_back(u'\t'); break;
            case u'r': out->push_back(u'\r'); break;
            case u'a': out->push_back(u'\b'); break;
            case u'\\': out->push_back(u'\\'); break;
            case u'"': out->push_back(u'"'); break;
            case u'x': {
                uint32_t value = 0;
                int digits = 0;
                while (*i < text.size() && digits < 4) {
                    char16_t h = text[*i];
                    int v = (h >= u'0' && h <= u'9') ? h - u'0'
                          : (h >= u'a' && h <= u'f') ? h - u'a' + 10
                          : (h >= u'A' && h <= u'F') ? h - u'A' + 10 : -1;
                    if (v < 0)
                        break;
                    value = value * 16 + v;
                    digits++;
                    (*i)++;
                }
                out->push_back(static_cast<char16_t>(value));
                break;
            }
            default:
                out->push_back(u'\\');
                out->push_back(e);
                break;
            }
        }
        return false;
    }

    // ---- Parser ----

    const Token& Peek() const { return tokens_[pos_]; }
    const Token& Next() { return tokens_[pos_ < tokens_.size() - 1 ? pos_++ : pos_]; }
    bool IsWord(const Token& t, const char16_t* word) const { return t.Type == Token::Word && t.Text == word; }
    bool IsPunct(const Token& t, char16_t c) const { return t.Type == Token::Punct && t.Text.size() == 1 && t.Text[0] == c; }
    bool IsBegin(const Token& t) const { return IsWord(t, u"BEGIN") || IsPunct(t, u'{'); }
    bool IsEnd(const Token& t) const { return IsWord(t, u"END") || IsPunct(t, u'}'); }

    std::string Where() const { return " on line " + std::to_string(Peek().Line); }

    bool ParseNumberOrSymbol(const Token& t, int64_t* value, std::string* error)
    {
        std::string word = ToNarrow(t.Text);
        auto known = symbols_.find(word);
        if (known != symbols_.end()) {
            *value = known->second;
            return true;
        }
        char* end = nullptr;
        long long parsed = std::strtoll(word.c_str(), &end, 0);
        if (word.empty() || end == nullptr || (*end != 0 && !(*end == 'L' && end[1] == 0)))
            return Fail(error, "unknown symbol " + word + " on line " + std::to_string(t.Line));
        *value = parsed;
        return true;
    }

    // term := number | symbol | '(' expr ')' | '-' term | NOT term
    bool ParseTerm(int64_t* value, std::vector<std::string>* names, std::string* error)
    {
        const Token& t = Next();
        if (IsPunct(t, u'-')) {
            if (!ParseTerm(value, names, error))
                return false;
            *value = -*value;
            return true;
        }
        if (IsWord(t, u"NOT")) {
            int64_t inner = 0;
            std::vector<std::string> ignored;
            if (!ParseTerm(&inner, &ignored, error))
                return false;
            *value = ~inner;
            return true;
        }
        if (IsPunct(t, u'(')) {
            if (!ParseExpression(value, names, error))
                return false;
            if (!IsPunct(Next(), u')'))
                return Fail(error, "missing )" + Where());
            return true;
        }
        if (t.Type != Token::Word)
            return Fail(error, "expected a value on line " + std::to_string(t.Line));
        if (names != nullptr && symbols_.count(ToNarrow(t.Text)) != 0)
            names->push_back(ToNarrow(t.Text));
        return ParseNumberOrSymbol(t, value, error);
    }

    bool ParseExpression(int64_t* value, std::vector<std::string>* names, std::string* error)
    {
        if (!ParseTerm(value, names, error))
            return false;
        while (IsPunct(Peek(), u'|') || IsPunct(Peek(), u'+')) {
            bool orOperator = IsPunct(Next(), u'|');
            int64_t right = 0;
            if (!ParseTerm(&right, names, error))
                return false;
            *value = orOperator ? (*value | right) : (*value + right);
        }
        return true;
    }

    // One argument of a comma-separated list: a string or an expression.
    struct Argument {
        bool IsString = false;
        std::u16string Text;
        int64_t Value = 0;
        std::vector<std::string> Names;
    };

    bool ParseArguments(std::vector<Argument>* arguments, std::string* error)
    {
        for (;;) {
            Argument argument;
            if (Peek().Type == Token::String) {
                argument.IsString = true;
                argument.Text = Next().Text;
            } else if (!ParseExpression(&argument.Value, &argument.Names, error)) {
                return false;
            }
            arguments->push_back(argument);
            if (!IsPunct(Peek(), u','))
                return true;
            Next();
        }
    }

    bool ParseLanguage(std::string* error)
    {
        std::vector<Argument> args;
        if (!ParseArguments(&args, error))
            return false;
        if (args.size() != 2 || args[0].IsString || args[1].IsString)
            return Fail(error, "LANGUAGE needs two values" + Where());
        language_ = static_cast<LANGID>(MAKELANGID(args[0].Value, args[1].Value));
        return true;
    }

    bool ParseStringTable(std::string* error)
    {
        while (IsWord(Peek(), u"MOVEABLE") || IsWord(Peek(), u"PURE") || IsWord(Peek(), u"DISCARDABLE"))
            Next();
        if (!IsBegin(Next()))
            return Fail(error, "STRINGTABLE without BEGIN" + Where());
        auto& table = script_->Strings[language_];
        while (!IsEnd(Peek())) {
            if (Peek().Type == Token::End)
                return Fail(error, "STRINGTABLE without END");
            int64_t id = 0;
            if (!ParseExpression(&id, nullptr, error))
                return false;
            if (IsPunct(Peek(), u','))
                Next();
            if (Peek().Type != Token::String)
                return Fail(error, "string expected" + Where());
            if (id < 0 || id > 0xFFFF || table.count(static_cast<UINT>(id)) != 0)
                return Fail(error, "bad or repeated string id " + std::to_string(id) + Where());
            table[static_cast<UINT>(id)] = Next().Text;
        }
        Next();
        return true;
    }

    bool ParseControl(const std::u16string& keyword, DialogTemplate* dialog, std::string* error)
    {
        std::vector<Argument> args;
        if (!ParseArguments(&args, error))
            return false;
        DialogControl control;
        control.Kind = ToNarrow(keyword);
        if (args.size() < 2)
            return Fail(error, "control " + control.Kind + " needs a text and an id" + Where());
        control.Text = args[0].IsString ? args[0].Text : std::u16string();
        if (!args[0].IsString && control.Kind == "ICON") {
            // An icon named by a symbol keeps the symbol; one named by a number reads "#<number>".
            std::string name = !args[0].Names.empty() ? args[0].Names[0] : "#" + std::to_string(args[0].Value);
            control.Text = std::u16string(name.begin(), name.end());
        }
        if (args[1].IsString)
            return Fail(error, "control id expected" + Where());
        control.Id = static_cast<int>(args[1].Value);
        if (control.Kind == "CONTROL") {
            if (args.size() < 4 || !args[2].IsString)
                return Fail(error, "CONTROL needs a class and a style" + Where());
            control.ClassName = ToNarrow(args[2].Text);
            control.Styles = args[3].Names;
        } else if (args.size() > 6) {
            control.Styles = args[6].Names;
        }
        dialog->Controls.push_back(control);
        return true;
    }

    bool ParseDialog(int id, std::string* error)
    {
        DialogTemplate dialog;
        dialog.Id = id;
        dialog.Language = language_;
        std::vector<Argument> rect;
        if (!ParseArguments(&rect, error))
            return false;
        if (rect.size() < 4)
            return Fail(error, "dialog needs x, y, width and height" + Where());
        while (!IsBegin(Peek())) {
            const Token& option = Next();
            std::vector<Argument> args;
            if (option.Type != Token::Word || !ParseArguments(&args, error))
                return Fail(error, "bad dialog option" + Where());
            if (option.Text == u"STYLE") {
                dialog.Styles = args[0].Names;
            } else if (option.Text == u"CAPTION" && args[0].IsString) {
                dialog.Caption = args[0].Text;
            } else if (option.Text == u"FONT" && args.size() >= 2 && args[1].IsString) {
                dialog.FontSize = static_cast<int>(args[0].Value);
                dialog.FontName = args[1].Text;
            } else if (option.Text != u"EXSTYLE" && option.Text != u"LANGUAGE") {
                return Fail(error, "unknown dialog option " + ToNarrow(option.Text) + Where());
            }
        }
        Next();
        static const char16_t* const kinds[] = { u"DEFPUSHBUTTON", u"PUSHBUTTON", u"GROUPBOX", u"LTEXT", u"RTEXT",
                                                 u"CTEXT", u"ICON", u"CONTROL", u"AUTORADIOBUTTON",
                                                 u"RADIOBUTTON", u"CHECKBOX", u"AUTOCHECKBOX" };
        while (!IsEnd(Peek())) {
            const Token& keyword = Next();
            bool known = false;
            for (const char16_t* kind : kinds)
                known = known || IsWord(keyword, kind);
            if (!known)
                return Fail(error, "unknown control " + ToNarrow(keyword.Text) + " on line " +
                                       std::to_string(keyword.Line));
            if (!ParseControl(keyword.Text, &dialog, error))
                return false;
        }
        Next();
        script_->Dialogs.push_back(dialog);
        return true;
    }

    bool ParseFileResource(std::map<int, std::string>* table, int id, std::string* error)
    {
        while (IsWord(Peek(), u"MOVEABLE") || IsWord(Peek(), u"PURE") || IsWord(Peek(), u"DISCARDABLE"))
            Next();
        if (Peek().Type != Token::String)
            return Fail(error, "file name expected" + Where());
        std::string path = directory_ + "/" + ToNarrow(Next().Text);
        std::ifstream file(path, std::ios::binary);
        if (!file)
            return Fail(error, "cannot read " + path);
        (*table)[id] = path;
        return true;
    }

    bool ParseScript(std::string* error)
    {
        while (Peek().Type != Token::End) {
            const Token& first = Next();
            if (IsWord(first, u"LANGUAGE")) {
                if (!ParseLanguage(error))
                    return false;
                continue;
            }
            if (IsWord(first, u"STRINGTABLE")) {
                if (!ParseStringTable(error))
                    return false;
                continue;
            }
            int64_t id = 0;
            if (first.Type != Token::Word || !ParseNumberOrSymbol(first, &id, error))
                return Fail(error, "resource name expected on line " + std::to_string(first.Line));
            const Token& type = Next();
            bool ok = false;
            if (IsWord(type, u"DIALOG") || IsWord(type, u"DIALOGEX"))
                ok = ParseDialog(static_cast<int>(id), error);
            else if (IsWord(type, u"ICON"))
                ok = ParseFileResource(&script_->Icons, static_cast<int>(id), error);
            else if (IsWord(type, u"RT_MANIFEST") || IsWord(type, u"24"))
                ok = ParseFileResource(&script_->Manifests, static_cast<int>(id), error);
            else
                return Fail(error, "unknown resource type " + ToNarrow(type.Text) + " on line " +
                                       std::to_string(type.Line));
            if (!ok)
                return false;
        }
        return true;
    }

    std::string directory_;
    std::string body_;
    std::map<std::string, int64_t> symbols_;
    std::vector<Token> tokens_;
    size_t pos_ = 0;
    LANGID language_ = MAKELANGID(LANG_NEUTRAL, 0);
    ResourceScript* script_ = nullptr;
};

ResourceScript g_script;
LANGID g_language = 0x0409;

// The language the loader takes for one item: the user-interface language, then the same
// primary language, then neutral, then English (United States), then whatever exists.
template <typename HasLanguage>
bool ChooseLanguage(HasLanguage has, LANGID* chosen)
{
    std::vector<LANGID> candidates;
    for (const auto& entry : g_script.Strings)
        candidates.push_back(entry.first);
    for (const auto& dialog : g_script.Dialogs)
        candidates.push_back(dialog.Language);
    auto pick = [&](auto matches) {
        for (LANGID candidate : candidates) {
            if (matches(candidate) && has(candidate)) {
                *chosen = candidate;
                return true;
            }
        }
        return false;
    };
    return pick([](LANGID l) { return l == g_language; }) ||
           pick([](LANGID l) { return (l & 0x3FF) == (g_language & 0x3FF); }) ||
           pick([](LANGID l) { return (l & 0x3FF) == LANG_NEUTRAL; }) ||
           pick([](LANGID l) { return l == 0x0409; }) || pick([](LANGID) { return true; });
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Shared with the user interface
// ---------------------------------------------------------------------------------------------

bool IsProgramInstance(HINSTANCE instance)
{
    return instance == nullptr || instance == GetModuleHandleW(nullptr);
}

const DialogTemplate* FindDialogTemplate(int id)
{
    LANGID language = 0;
    auto has = [id](LANGID l) {
        for (const auto& dialog : g_script.Dialogs) {
            if (dialog.Id == id && dialog.Language == l)
                return true;
        }
        return false;
    };
    if (!ChooseLanguage(has, &language))
        return nullptr;
    for (const auto& dialog : g_script.Dialogs) {
        if (dialog.Id == id && dialog.Language == language)
            return &dialog;
    }
    return nullptr;
}

LANGID UserInterfaceLanguage()
{
    return g_language;
}

// ---------------------------------------------------------------------------------------------
// Test API
// ---------------------------------------------------------------------------------------------

bool LoadResourceScript(const std::string& path, std::string* error)
{
    // From the first script on, Reset() also clears the user interface, spooler and version.
    static std::once_flag registered;
    std::call_once(registered, [] {
        RegisterResetHook([] {
            ResetUserInterface();
            ResetSpooler();
            ResetVersion();
        });
    });

    size_t slash = path.find_last_of('/');
    Reader reader(slash == std::string::npos ? std::string(".") : path.substr(0, slash));
    ResourceScript script;
    script.Path = path;
    if (!reader.Run(path, &script, error))
        return false;
    g_script = std::move(script);
    return true;
}

const ResourceScript& LoadedResources()
{
    return g_script;
}

void SetUserInterfaceLanguage(LANGID language)
{
    g_language = language;
}

void ResetResourceLanguage()
{
    g_language = 0x0409;
}

} // namespace sim::user

// ---------------------------------------------------------------------------------------------
// LoadStringW
// ---------------------------------------------------------------------------------------------

// Strings live in blocks of 16 per language, as in the binary resources: the language is chosen
// for the block that holds the id. With cchBufferMax 0 the buffer receives a read-only pointer
// to the string, which is not terminated, and the length is returned.
extern "C" int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax)
{
    using namespace sim::user;
    if (!IsProgramInstance(hInstance) || lpBuffer == nullptr) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return 0;
    }
    const auto& strings = LoadedResources().Strings;
    UINT block = uID / 16;
    auto hasBlock = [&](LANGID l) {
        auto table = strings.find(l);
        if (table == strings.end())
            return false;
        for (const auto& entry : table->second) {
            if (entry.first / 16 == block)
                return true;
        }
        return false;
    };
    LANGID language = 0;
    const std::u16string* text = nullptr;
    if (ChooseLanguage(hasBlock, &language)) {
        auto entry = strings.at(language).find(uID);
        if (entry != strings.at(language).end())
            text = &entry->second;
    }
    if (text == nullptr) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        if (cchBufferMax > 0)
            lpBuffer[0] = 0;
        return 0;
    }
    if (cchBufferMax == 0) {
        *reinterpret_cast<LPCWSTR*>(lpBuffer) = text->c_str();
        return static_cast<int>(text->size());
    }
    int count = static_cast<int>(text->size());
    if (count > cchBufferMax - 1)
        count = cchBufferMax - 1;
    for (int i = 0; i < count; i++)
        lpBuffer[i] = (*text)[i];
    lpBuffer[count] = 0;
    return count;
}

extern "C" LANGID WINAPI GetUserDefaultUILanguage(void)
{
    return sim::user::UserInterfaceLanguage();
}
