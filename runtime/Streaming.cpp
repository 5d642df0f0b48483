#include "runtime/Streaming.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace kv {

// ---- values ----------------------------------------------------------------------------

TValue TValue::Integer(int64_t v) {
    TValue r;
    r.Kind = vaInt;
    r.Int = v;
    return r;
}

TValue TValue::String(std::string s) {
    TValue r;
    r.Kind = vaString;
    r.Str = std::move(s);
    return r;
}

TValue TValue::Ident(std::string s) {
    TValue r;
    r.Kind = vaIdent;
    r.Str = std::move(s);
    return r;
}

TValue TValue::Bool(bool b) {
    TValue r;
    r.Kind = b ? vaTrue : vaFalse;
    return r;
}

static bool SamePropLists(const std::vector<TPropText>& a, const std::vector<TPropText>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].Name != b[i].Name || !(a[i].Value == b[i].Value)) return false;
    return true;
}

bool TValue::operator==(const TValue& o) const {
    if (Kind != o.Kind) return false;
    switch (Kind) {
    case vaInt: return Int == o.Int;
    case vaFloat: return Float == o.Float;
    case vaString:
    case vaBinary: return Str == o.Str;
    case vaIdent: return SameText(Str, o.Str);
    case vaSet: return Names == o.Names;
    case vaList: return List == o.List;
    case vaCollection:
        if (Items.size() != o.Items.size()) return false;
        for (size_t i = 0; i < Items.size(); ++i)
            if (!SamePropLists(Items[i].Props, o.Items[i].Props)) return false;
        return true;
    default: return true;
    }
}

EParserError::EParserError(const std::string& file, int line, int col, const std::string& msg)
    : Exception(file + ":" + std::to_string(line) + ":" + std::to_string(col) + ": " + msg), Line(line), Col(col) {}

// ---- parser -----------------------------------------------------------------------------

namespace {

const int kMaxDepth = 200;

struct TToken {
    enum TType { tEOF, tIdent, tInt, tFloat, tString, tSymbol };
    TType Type = tEOF;
    std::string Text;  // identifier, symbol, or the decoded string
    int64_t Int = 0;
    double Float = 0;
    int Line = 1, Col = 1;
};

bool IsIdentStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool IsIdentChar(char c) { return IsIdentStart(c) || (c >= '0' && c <= '9'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
int HexVal(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

class TParser {
public:
    TParser(const std::string& text, const std::string& file) : FText(text), FFile(file) { Next(); }

    TObjectText ParseRoot() {
        TObjectText root = ParseObject(0);
        if (FTok.Type != TToken::tEOF) Fail(FTok, "Unexpected text after the end of the root object");
        return root;
    }

private:
    [[noreturn]] void Fail(int line, int col, const std::string& msg) { throw EParserError(FFile, line, col, msg); }
    [[noreturn]] void Fail(const TToken& t, const std::string& msg) { Fail(t.Line, t.Col, msg); }

    std::string Describe(const TToken& t) {
        switch (t.Type) {
        case TToken::tEOF: return "end of file";
        case TToken::tString: return "a string";
        case TToken::tInt:
        case TToken::tFloat: return "a number";
        default: return "'" + t.Text + "'";
        }
    }

    char Peek(size_t ahead = 0) const { return FPos + ahead < FText.size() ? FText[FPos + ahead] : '\0'; }
    bool AtEnd() const { return FPos >= FText.size(); }
    void Advance() {
        if (FText[FPos] == '\n') {
            ++FLine;
            FCol = 1;
        } else {
            ++FCol;
        }
        ++FPos;
    }
    void SkipBlanks() {
        while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\r' || Peek() == '\n')) Advance();
    }

    void Next() {
        SkipBlanks();
        FTok = TToken();
        FTok.Line = FLine;
        FTok.Col = FCol;
        if (AtEnd()) return;
        char c = Peek();
        if (IsIdentStart(c)) {
            FTok.Type = TToken::tIdent;
            while (!AtEnd() && (IsIdentChar(Peek()) || (Peek() == '.' && IsIdentStart(Peek(1))))) {
                FTok.Text += Peek();
                Advance();
            }
            return;
        }
        if (IsDigit(c) || c == '$' || ((c == '-' || c == '+') && (IsDigit(Peek(1)) || Peek(1) == '$'))) {
            ReadNumber();
            return;
        }
        if (c == '\'' || c == '#') {
            ReadString();
            return;
        }
        if (std::strchr("=:[](){}<>,+", c)) {
            FTok.Type = TToken::tSymbol;
            FTok.Text = std::string(1, c);
            Advance();
            return;
        }
        Fail(FLine, FCol, std::string("Invalid character '") + (static_cast<unsigned char>(c) >= 32 ? std::string(1, c) : "#" + std::to_string(static_cast<unsigned char>(c))) + "'");
    }

    void ReadNumber() {
        std::string s;
        bool neg = false;
        if (Peek() == '-' || Peek() == '+') {
            neg = Peek() == '-';
            Advance();
        }
        if (Peek() == '$') {
            Advance();
            while (!AtEnd() && HexVal(Peek()) >= 0) {
                s += Peek();
                Advance();
            }
            if (s.empty()) Fail(FTok, "Invalid hexadecimal number");
            if (s.size() > 16) Fail(FTok, "Number out of range");
            uint64_t v = std::stoull(s, nullptr, 16);
            FTok.Type = TToken::tInt;
            FTok.Int = neg ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
            CheckNumberEnd();
            return;
        }
        bool isFloat = false;
        while (!AtEnd() && IsDigit(Peek())) {
            s += Peek();
            Advance();
        }
        if (Peek() == '.' && IsDigit(Peek(1))) {
            isFloat = true;
            s += '.';
            Advance();
            while (!AtEnd() && IsDigit(Peek())) {
                s += Peek();
                Advance();
            }
        }
        if ((Peek() == 'e' || Peek() == 'E') &&
            (IsDigit(Peek(1)) || ((Peek(1) == '-' || Peek(1) == '+') && IsDigit(Peek(2))))) {
            isFloat = true;
            s += 'E';
            Advance();
            if (Peek() == '-' || Peek() == '+') {
                s += Peek();
                Advance();
            }
            while (!AtEnd() && IsDigit(Peek())) {
                s += Peek();
                Advance();
            }
        }
        if (isFloat) {
            FTok.Type = TToken::tFloat;
            errno = 0;
            double v = std::strtod(s.c_str(), nullptr);
            if (!std::isfinite(v)) Fail(FTok, "Number out of range");
            FTok.Float = neg ? -v : v;
        } else {
            FTok.Type = TToken::tInt;
            int64_t v;
            std::string t = (neg ? "-" : "") + s;
            if (!TryStrToInt64(t, v)) Fail(FTok, "Number out of range");
            FTok.Int = v;
        }
        CheckNumberEnd();
    }

    void CheckNumberEnd() {
        if (!AtEnd() && (IsIdentChar(Peek()) || Peek() == '.')) Fail(FLine, FCol, "Invalid number");
    }

    void ReadString() {
        FTok.Type = TToken::tString;
        while (!AtEnd() && (Peek() == '\'' || Peek() == '#')) {
            if (Peek() == '\'') {
                int line = FLine, col = FCol;
                Advance();
                for (;;) {
                    if (AtEnd() || Peek() == '\n' || Peek() == '\r') Fail(line, col, "Unterminated string");
                    if (Peek() == '\'') {
                        if (Peek(1) == '\'') {
                            FTok.Text += '\'';
                            Advance();
                            Advance();
                            continue;
                        }
                        Advance();
                        break;
                    }
                    FTok.Text += Peek();
                    Advance();
                }
            } else {
                int line = FLine, col = FCol;
                Advance();
                int64_t v = 0;
                bool any = false;
                if (Peek() == '$') {
                    Advance();
                    while (!AtEnd() && HexVal(Peek()) >= 0) {
                        v = v * 16 + HexVal(Peek());
                        any = true;
                        if (v > 255) Fail(line, col, "Character code out of range");
                        Advance();
                    }
                } else {
                    while (!AtEnd() && IsDigit(Peek())) {
                        v = v * 10 + (Peek() - '0');
                        any = true;
                        if (v > 255) Fail(line, col, "Character code out of range");
                        Advance();
                    }
                }
                if (!any) Fail(line, col, "Invalid character code");
                FTok.Text += static_cast<char>(v);
            }
        }
    }

    void Expect(const char* sym) {
        if (FTok.Type != TToken::tSymbol || FTok.Text != sym)
            Fail(FTok, std::string("'") + sym + "' expected but " + Describe(FTok) + " found");
        Next();
    }

    bool IsKeyword(const char* w) const { return FTok.Type == TToken::tIdent && SameText(FTok.Text, w); }
    bool IsSymbol(const char* s) const { return FTok.Type == TToken::tSymbol && FTok.Text == s; }

    std::string ExpectIdent(const char* what) {
        if (FTok.Type != TToken::tIdent) Fail(FTok, std::string(what) + " expected but " + Describe(FTok) + " found");
        std::string s = FTok.Text;
        Next();
        return s;
    }

    TObjectText ParseObject(int depth) {
        if (depth > kMaxDepth) Fail(FTok, "Objects nested too deeply");
        TObjectText obj;
        obj.Line = FTok.Line;
        obj.Col = FTok.Col;
        if (!(IsKeyword("object") || IsKeyword("inherited") || IsKeyword("inline")))
            Fail(FTok, "'object' expected but " + Describe(FTok) + " found");
        Next();
        std::string first = ExpectIdent("Identifier");
        if (IsSymbol(":")) {
            Next();
            obj.Name = first;
            obj.ClassName = ExpectIdent("Class name");
        } else {
            obj.ClassName = first;
        }
        if (IsSymbol("[")) {  // creation index of inherited forms: not used here
            Next();
            if (FTok.Type != TToken::tInt) Fail(FTok, "Number expected");
            Next();
            Expect("]");
        }
        for (;;) {
            if (FTok.Type == TToken::tEOF)
                Fail(FTok, "Missing 'end' of object " + (obj.Name.empty() ? obj.ClassName : obj.Name) + " begun at line " +
                               std::to_string(obj.Line));
            if (IsKeyword("end")) {
                Next();
                return obj;
            }
            if (IsKeyword("object") || IsKeyword("inherited") || IsKeyword("inline")) {
                obj.Children.push_back(ParseObject(depth + 1));
                continue;
            }
            obj.Props.push_back(ParseProperty(depth));
        }
    }

    TPropText ParseProperty(int depth) {
        TPropText p;
        p.Line = FTok.Line;
        p.Col = FTok.Col;
        p.Name = ExpectIdent("Property name");
        Expect("=");
        p.Value = ParseValue(depth + 1);
        return p;
    }

    TValue ParseValue(int depth) {
        if (depth > kMaxDepth) Fail(FTok, "Values nested too deeply");
        TValue v;
        v.Line = FTok.Line;
        v.Col = FTok.Col;
        switch (FTok.Type) {
        case TToken::tEOF: Fail(FTok, "Value expected but end of file found");
        case TToken::tInt:
            v.Kind = TValue::vaInt;
            v.Int = FTok.Int;
            Next();
            return v;
        case TToken::tFloat:
            v.Kind = TValue::vaFloat;
            v.Float = FTok.Float;
            Next();
            return v;
        case TToken::tString:
            v.Kind = TValue::vaString;
            v.Str = FTok.Text;
            Next();
            while (IsSymbol("+")) {
                Next();
                if (FTok.Type != TToken::tString) Fail(FTok, "String expected but " + Describe(FTok) + " found");
                v.Str += FTok.Text;
                Next();
            }
            return v;
        case TToken::tIdent:
            if (SameText(FTok.Text, "True")) v.Kind = TValue::vaTrue;
            else if (SameText(FTok.Text, "False")) v.Kind = TValue::vaFalse;
            else if (SameText(FTok.Text, "nil")) v.Kind = TValue::vaNil;
            else {
                v.Kind = TValue::vaIdent;
                v.Str = FTok.Text;
            }
            Next();
            return v;
        case TToken::tSymbol: break;
        }
        if (IsSymbol("[")) {
            v.Kind = TValue::vaSet;
            Next();
            if (!IsSymbol("]")) {
                for (;;) {
                    v.Names.push_back(ExpectIdent("Set element"));
                    if (IsSymbol("]")) break;
                    Expect(",");
                }
            }
            Next();
            return v;
        }
        if (IsSymbol("(")) {
            v.Kind = TValue::vaList;
            Next();
            while (!IsSymbol(")")) {
                if (FTok.Type == TToken::tEOF) Fail(v.Line, v.Col, "Unterminated list");
                v.List.push_back(ParseValue(depth + 1));
            }
            Next();
            return v;
        }
        if (IsSymbol("<")) {
            v.Kind = TValue::vaCollection;
            Next();
            while (!IsSymbol(">")) {
                if (FTok.Type == TToken::tEOF) Fail(v.Line, v.Col, "Unterminated collection");
                TItemText item;
                item.Line = FTok.Line;
                item.Col = FTok.Col;
                if (!IsKeyword("item")) Fail(FTok, "'item' expected but " + Describe(FTok) + " found");
                Next();
                while (!IsKeyword("end")) {
                    if (FTok.Type == TToken::tEOF) Fail(item.Line, item.Col, "Missing 'end' of collection item");
                    item.Props.push_back(ParseProperty(depth + 1));
                }
                Next();
                v.Items.push_back(std::move(item));
            }
            Next();
            return v;
        }
        if (IsSymbol("{")) {
            // Binary data is raw hex up to the closing brace; read it here, not as tokens.
            v.Kind = TValue::vaBinary;
            int hi = -1;
            for (;;) {
                if (AtEnd()) Fail(v.Line, v.Col, "Unterminated binary data");
                char c = Peek();
                if (c == '}') {
                    Advance();
                    break;
                }
                if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
                    Advance();
                    continue;
                }
                int d = HexVal(c);
                if (d < 0) Fail(FLine, FCol, "Invalid binary data");
                if (hi < 0) {
                    hi = d;
                } else {
                    v.Str += static_cast<char>(hi * 16 + d);
                    hi = -1;
                }
                Advance();
            }
            if (hi >= 0) Fail(v.Line, v.Col, "Binary data has an odd number of digits");
            Next();
            return v;
        }
        Fail(FTok, "Value expected but " + Describe(FTok) + " found");
    }

    const std::string& FText;
    std::string FFile;
    size_t FPos = 0;
    int FLine = 1, FCol = 1;
    TToken FTok;
};

// ---- writing text -----------------------------------------------------------------------

std::string Indent(int n) { return std::string(static_cast<size_t>(n), ' '); }

std::string QuoteString(const std::string& s) {
    if (s.empty()) return "''";
    std::string out;
    bool inQuote = false;
    for (char ch : s) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c < 32 || c >= 127) {
            if (inQuote) {
                out += '\'';
                inQuote = false;
            }
            out += "#" + std::to_string(c);
        } else {
            if (!inQuote) {
                out += '\'';
                inQuote = true;
            }
            out += ch;
            if (ch == '\'') out += '\'';
        }
    }
    if (inQuote) out += '\'';
    return out;
}

std::string FloatText(double v) {
    std::string s = FloatToStr(v);
    if (s.find_first_of(".E") == std::string::npos) s += ".0";
    return s;
}

void FormatProps(const std::vector<TPropText>& props, int indent, std::string& out) {
    for (const TPropText& p : props) out += Indent(indent) + p.Name + " = " + FormatValue(p.Value, indent) + "\n";
}

void FormatObject(const TObjectText& obj, int indent, std::string& out) {
    out += Indent(indent) + "object ";
    out += obj.Name.empty() ? obj.ClassName : obj.Name + ": " + obj.ClassName;
    out += "\n";
    FormatProps(obj.Props, indent + 2, out);
    for (const TObjectText& c : obj.Children) FormatObject(c, indent + 2, out);
    out += Indent(indent) + "end\n";
}

}  // namespace

std::string FormatValue(const TValue& v, int indent) {
    switch (v.Kind) {
    case TValue::vaNil: return "nil";
    case TValue::vaInt: return std::to_string(v.Int);
    case TValue::vaFloat: return FloatText(v.Float);
    case TValue::vaString: return QuoteString(v.Str);
    case TValue::vaIdent: return v.Str;
    case TValue::vaFalse: return "False";
    case TValue::vaTrue: return "True";
    case TValue::vaSet: {
        std::string s = "[";
        for (size_t i = 0; i < v.Names.size(); ++i) s += (i ? ", " : "") + v.Names[i];
        return s + "]";
    }
    case TValue::vaBinary: {
        if (v.Str.empty()) return "{}";
        static const char* hex = "0123456789ABCDEF";
        std::string s = "{";
        for (size_t i = 0; i < v.Str.size(); ++i) {
            if (i % 32 == 0) s += "\n" + Indent(indent + 2);
            unsigned char c = static_cast<unsigned char>(v.Str[i]);
            s += hex[c >> 4];
            s += hex[c & 15];
        }
        return s + "}";
    }
    case TValue::vaList: {
        if (v.List.empty()) return "()";
        std::string s = "(";
        for (const TValue& item : v.List) s += "\n" + Indent(indent + 2) + FormatValue(item, indent + 2);
        return s + ")";
    }
    case TValue::vaCollection: {
        if (v.Items.empty()) return "<>";
        std::string s = "<";
        for (const TItemText& item : v.Items) {
            s += "\n" + Indent(indent + 2) + "item\n";
            FormatProps(item.Props, indent + 4, s);
            s += Indent(indent + 2) + "end";
        }
        return s + ">";
    }
    }
    return "nil";
}

TObjectText ParseObjectText(const std::string& text, const std::string& fileName) {
    return TParser(text, fileName).ParseRoot();
}

std::string FormatObjectText(const TObjectText& obj) {
    std::string out;
    FormatObject(obj, 0, out);
    return out;
}

KV_REGISTER_CLASS(TGenericComponent, TComponent) {}

// ---- TStrings as a defined property -----------------------------------------------------

namespace {
// Collects the defined properties of one object.
class TCollectingFiler : public TFiler {
public:
    struct TDef {
        std::string Name;
        std::function<void(const TValue&)> Read;
        std::function<TValue()> Write;
        bool HasData;
    };
    std::vector<TDef> Defs;
    void DefineProperty(const std::string& name, std::function<void(const TValue&)> read, std::function<TValue()> write,
                        bool hasData) override {
        Defs.push_back({name, std::move(read), std::move(write), hasData});
    }
};
}  // namespace

void TStrings::DefineProperties(TFiler& filer) {
    filer.DefineProperty(
        "Strings",
        [this](const TValue& v) {
            if (v.Kind != TValue::vaList) throw EReadError("Invalid property value: a list of strings expected");
            for (const TValue& item : v.List)
                if (item.Kind != TValue::vaString) throw EReadError("Invalid property value: a list of strings expected");
            BeginUpdate();
            Clear();
            for (const TValue& item : v.List) Add(item.Str);
            EndUpdate();
        },
        [this] {
            TValue v;
            v.Kind = TValue::vaList;
            for (int i = 0; i < Count(); ++i) v.List.push_back(TValue::String(Get(i)));
            return v;
        },
        Count() > 0);
}

// ---- reading components ---------------------------------------------------------------

namespace {

class TDefinitionReader {
public:
    TDefinitionReader(const TReadOptions& opt) : FOpt(opt) {}

    TComponent* Read(const TObjectText& tree, TComponent* root, TComponent* owner) {
        bool createdRoot = root == nullptr;
        try {
            const TClass* cls = GetClass(tree.ClassName);
            if (root) {
                if (cls ? !root->InheritsFrom(cls) : !FOpt.Generic)
                    Fail(tree.Line, tree.Col,
                         "The root object is a " + tree.ClassName + " but the form is a " + root->ClassName());
            } else {
                root = CreateComponent(tree, owner, nullptr);
            }
            if (FOpt.Designing) root->SetDesigning(true);
            FRoot = root;
            FHandlers = FOpt.HandlerSource ? FOpt.HandlerSource : root;
            ReadObject(tree, root, nullptr);
            ResolveFixups();
            for (TComponent* c : FLoaded) c->ReadingDone();
        } catch (...) {
            Cleanup(createdRoot ? root : nullptr);
            throw;
        }
        for (TComponent* c : FLoaded) c->Loaded();
        return root;
    }

private:
    struct TFixup {
        TObject* Target;
        const TPropInfo* Prop;
        TValue Value;
        std::string Where;
    };

    [[noreturn]] void Fail(int line, int col, const std::string& msg) {
        throw EParserError(FOpt.FileName, line, col, msg);
    }

    void Cleanup(TComponent* createdRoot) {
        if (createdRoot) {
            delete createdRoot;
            return;
        }
        for (auto it = FCreated.rbegin(); it != FCreated.rend(); ++it) delete *it;
    }

    TComponent* CreateComponent(const TObjectText& t, TComponent* owner, TComponent* parent) {
        const TClass* cls = GetClass(t.ClassName);
        TComponent* c = nullptr;
        if (!cls) {
            if (!FOpt.Generic) Fail(t.Line, t.Col, "Class " + t.ClassName + " not found");
            auto* g = new TGenericComponent(owner);
            g->GenericClassName = t.ClassName;
            c = g;
        } else {
            if (!cls->IsComponent()) Fail(t.Line, t.Col, t.ClassName + " is not a component class");
            if (!cls->Factory) Fail(t.Line, t.Col, "Cannot create an instance of abstract class " + t.ClassName);
            c = static_cast<TComponent*>(cls->Create(owner));
        }
        if (parent) FCreated.push_back(c);  // the root is freed as a whole on failure
        return c;
    }

    void ReadObject(const TObjectText& t, TComponent* c, TComponent* parent) {
        c->Loading();
        FLoaded.push_back(c);
        try {
            c->SetName(t.Name);
        } catch (const Exception& e) {
            Fail(t.Line, t.Col, e.Message());
        }
        if (parent) c->SetParentComponent(parent);
        std::string where = t.Name.empty() ? t.ClassName : t.Name;
        ApplyProps(c, t.Props, where);
        for (const TObjectText& child : t.Children) {
            TComponent* cc = CreateComponent(child, FRoot, c);
            ReadObject(child, cc, c);
        }
    }

    void ApplyProps(TObject* obj, const std::vector<TPropText>& props, const std::string& where) {
        for (const TPropText& p : props) ApplyProp(obj, p, where);
    }

    std::string ErrorPrefix(const std::string& where, const std::string& name) {
        return "Error reading " + where + "." + name + ": ";
    }

    void ApplyProp(TObject* obj, const TPropText& p, const std::string& where) {
        if (auto* g = dynamic_cast<TGenericComponent*>(obj)) {
            g->GenericProps.push_back(p);
            return;
        }
        // Walk the dotted path through owned objects.
        TObject* target = obj;
        size_t start = 0;
        for (;;) {
            size_t dot = p.Name.find('.', start);
            if (dot == std::string::npos) break;
            std::string seg = p.Name.substr(start, dot - start);
            const TPropInfo* sub = target->ClassType()->FindProp(seg);
            if (!sub || !sub->GetObj)
                Fail(p.Line, p.Col, ErrorPrefix(where, p.Name) + "Property " + seg + " does not exist");
            TPersistent* next = sub->GetObj(*target);
            if (!next) Fail(p.Line, p.Col, ErrorPrefix(where, p.Name) + "Property " + seg + " is nil");
            target = next;
            start = dot + 1;
        }
        std::string name = p.Name.substr(start);
        if (auto* pers = dynamic_cast<TPersistent*>(target)) {
            TCollectingFiler filer;
            pers->DefineProperties(filer);
            for (auto& d : filer.Defs) {
                if (SameText(d.Name, name)) {
                    try {
                        d.Read(p.Value);
                    } catch (const EParserError&) {
                        throw;
                    } catch (const Exception& e) {
                        Fail(p.Value.Line, p.Value.Col, ErrorPrefix(where, p.Name) + e.Message());
                    }
                    return;
                }
            }
        }
        const TPropInfo* prop = target->ClassType()->FindProp(name);
        if (!prop) Fail(p.Line, p.Col, ErrorPrefix(where, p.Name) + "Property " + name + " does not exist");
        try {
            SetValue(target, *prop, p.Value, where + "." + p.Name);
        } catch (const EParserError&) {
            throw;
        } catch (const Exception& e) {
            // A setter that refuses the value.
            Fail(p.Value.Line, p.Value.Col, ErrorPrefix(where, p.Name) + e.Message());
        }
    }

    [[noreturn]] void WrongKind(const TValue& v, const std::string& where, const std::string& expected) {
        Fail(v.Line, v.Col, "Error reading " + where + ": Invalid property value: " + expected + " expected");
    }

    void SetValue(TObject* target, const TPropInfo& prop, const TValue& v, const std::string& where) {
        switch (prop.Kind) {
        case TPropKind::Integer:
        case TPropKind::Int64:
        case TPropKind::Word:
        case TPropKind::Byte: {
            if (v.Kind != TValue::vaInt) WrongKind(v, where, "an integer");
            int64_t lo = INT64_MIN, hi = INT64_MAX;
            if (prop.Kind == TPropKind::Integer) lo = INT32_MIN, hi = UINT32_MAX;  // $FFFFFFFF is -1
            if (prop.Kind == TPropKind::Word) lo = 0, hi = 65535;
            if (prop.Kind == TPropKind::Byte) lo = 0, hi = 255;
            if (v.Int < lo || v.Int > hi) Fail(v.Line, v.Col, "Error reading " + where + ": Value out of range");
            int64_t val = v.Int;
            if (prop.Kind == TPropKind::Integer) val = static_cast<int32_t>(static_cast<uint32_t>(val));
            prop.SetOrd(*target, val);
            return;
        }
        case TPropKind::Boolean:
            if (v.Kind != TValue::vaTrue && v.Kind != TValue::vaFalse) WrongKind(v, where, "True or False");
            prop.SetOrd(*target, v.Kind == TValue::vaTrue);
            return;
        case TPropKind::Float:
            if (v.Kind == TValue::vaFloat) prop.SetFloat(*target, v.Float);
            else if (v.Kind == TValue::vaInt) prop.SetFloat(*target, static_cast<double>(v.Int));
            else WrongKind(v, where, "a number");
            return;
        case TPropKind::String:
            if (v.Kind != TValue::vaString) WrongKind(v, where, "a string");
            prop.SetStr(*target, v.Str);
            return;
        case TPropKind::Enum: {
            if (v.Kind != TValue::vaIdent) WrongKind(v, where, "an identifier of " + prop.Enum->TypeName);
            int i = prop.Enum->IndexOf(v.Str);
            if (i < 0) Fail(v.Line, v.Col, "Error reading " + where + ": Invalid property value " + v.Str);
            prop.SetOrd(*target, i);
            return;
        }
        case TPropKind::Set: {
            if (v.Kind != TValue::vaSet) WrongKind(v, where, "a set");
            uint32_t mask = 0;
            for (const std::string& n : v.Names) {
                int i = prop.Enum->IndexOf(n);
                if (i < 0 || i >= 32) Fail(v.Line, v.Col, "Error reading " + where + ": Invalid property value " + n);
                mask |= 1u << i;
            }
            prop.SetOrd(*target, mask);
            return;
        }
        case TPropKind::Strings: {
            if (v.Kind != TValue::vaList) WrongKind(v, where, "a list of strings");
            TCollectingFiler filer;
            static_cast<TPersistent*>(prop.GetObj(*target))->DefineProperties(filer);
            filer.Defs.at(0).Read(v);
            return;
        }
        case TPropKind::Collection: {
            if (v.Kind != TValue::vaCollection) WrongKind(v, where, "a collection");
            auto* coll = dynamic_cast<TCollection*>(prop.GetObj(*target));
            if (!coll) Fail(v.Line, v.Col, "Error reading " + where + ": Property is nil");
            coll->BeginUpdate();
            coll->Clear();
            for (const TItemText& item : v.Items) {
                TCollectionItem* ci = coll->Add();
                ApplyProps(ci, item.Props, where + "[" + std::to_string(ci->Index()) + "]");
            }
            coll->EndUpdate();
            return;
        }
        case TPropKind::Class:
            WrongKind(v, where, "properties of the object (" + std::string(prop.ObjClass()->Name) + ")");
        case TPropKind::Component:
            if (v.Kind == TValue::vaNil) {
                prop.SetComp(*target, nullptr);
                return;
            }
            if (v.Kind != TValue::vaIdent) WrongKind(v, where, "a component name");
            FFixups.push_back({target, &prop, v, where});
            return;
        case TPropKind::Method: {
            TMethodBase* m = prop.GetMethod(*target);
            if (v.Kind == TValue::vaNil) {
                m->Clear();
                return;
            }
            if (v.Kind != TValue::vaIdent) WrongKind(v, where, "a handler name");
            const THandlerBase* h = FHandlers->FindHandler(v.Str);
            TNamedHandler named;
            if (!h && FOpt.Generic) h = &named;
            if (!h) Fail(v.Line, v.Col, "Error reading " + where + ": Handler " + v.Str + " does not exist");
            if (!m->Bind(v.Str, *h))
                Fail(v.Line, v.Col, "Error reading " + where + ": Handler " + v.Str + " has the wrong parameters");
            return;
        }
        }
    }

    void ResolveFixups() {
        for (const TFixup& f : FFixups) {
            const std::string& name = f.Value.Str;
            TComponent* c = SameText(name, FRoot->Name()) ? FRoot : FRoot->FindComponent(name);
            if (!c) Fail(f.Value.Line, f.Value.Col, "Error reading " + f.Where + ": Unresolved reference to " + name);
            if (!c->InheritsFrom(f.Prop->ObjClass()))
                Fail(f.Value.Line, f.Value.Col,
                     "Error reading " + f.Where + ": " + name + " is a " + c->ClassName() + ", not a " + f.Prop->ObjClass()->Name);
            try {
                f.Prop->SetComp(*f.Target, c);
            } catch (const Exception& e) {
                Fail(f.Value.Line, f.Value.Col, "Error reading " + f.Where + ": " + e.Message());
            }
        }
    }

    const TReadOptions& FOpt;
    TComponent* FRoot = nullptr;
    const TComponent* FHandlers = nullptr;
    std::vector<TComponent*> FLoaded;
    std::vector<TComponent*> FCreated;
    std::vector<TFixup> FFixups;
};

// ---- writing components --------------------------------------------------------------

class TDefinitionWriter {
public:
    explicit TDefinitionWriter(TComponent* root) : FRoot(root) {}

    TObjectText WriteObject(TComponent* c) {
        TObjectText t;
        t.Name = c->Name();
        if (auto* g = dynamic_cast<TGenericComponent*>(c)) {
            t.ClassName = g->GenericClassName;
            t.Props = g->GenericProps;
        } else {
            t.ClassName = c->ClassName();
            WriteProps(c, "", t.Props);
        }
        c->GetChildren([&](TComponent* child) { t.Children.push_back(WriteObject(child)); }, FRoot);
        return t;
    }

private:
    std::string RefName(TComponent* c) {
        if (c == FRoot || c->Owner() == FRoot || !c->Owner()) return c->Name();
        return c->Owner()->Name() + "." + c->Name();
    }

    void WriteProps(TObject* obj, const std::string& prefix, std::vector<TPropText>& out) {
        for (const TPropInfo* p : obj->ClassType()->AllProps()) {
            if (p->Stored && !p->Stored(*obj)) continue;
            std::string name = prefix + p->Name;
            TValue v;
            switch (p->Kind) {
            case TPropKind::Integer:
            case TPropKind::Int64:
            case TPropKind::Word:
            case TPropKind::Byte: {
                int64_t x = p->GetOrd(*obj);
                if (p->HasDefault && x == p->DefaultOrd) continue;
                v = TValue::Integer(x);
                break;
            }
            case TPropKind::Boolean: {
                int64_t x = p->GetOrd(*obj);
                if (p->HasDefault && x == p->DefaultOrd) continue;
                v = TValue::Bool(x != 0);
                break;
            }
            case TPropKind::Enum: {
                int64_t x = p->GetOrd(*obj);
                if (p->HasDefault && x == p->DefaultOrd) continue;
                v = TValue::Ident(p->Enum->NameOf(x));
                break;
            }
            case TPropKind::Set: {
                int64_t x = p->GetOrd(*obj);
                if (p->HasDefault && x == p->DefaultOrd) continue;
                v.Kind = TValue::vaSet;
                for (size_t i = 0; i < p->Enum->Names.size() && i < 32; ++i)
                    if (x & (int64_t{1} << i)) v.Names.push_back(p->Enum->Names[i]);
                break;
            }
            case TPropKind::Float: {
                double x = p->GetFloat(*obj);
                if ((p->HasDefault && x == p->DefaultFloat) || (!p->HasDefault && x == 0)) continue;
                v.Kind = TValue::vaFloat;
                v.Float = x;
                break;
            }
            case TPropKind::String: {
                std::string x = p->GetStr(*obj);
                if (x == p->DefaultStr) continue;
                v = TValue::String(x);
                break;
            }
            case TPropKind::Class:
            case TPropKind::Strings: {
                if (TPersistent* sub = p->GetObj(*obj)) WriteProps(sub, name + ".", out);
                continue;
            }
            case TPropKind::Collection: {
                auto* coll = dynamic_cast<TCollection*>(p->GetObj(*obj));
                if (!coll || coll->Count() == 0) continue;
                v.Kind = TValue::vaCollection;
                for (int i = 0; i < coll->Count(); ++i) {
                    TItemText item;
                    WriteProps(coll->Items(i), "", item.Props);
                    v.Items.push_back(std::move(item));
                }
                break;
            }
            case TPropKind::Component: {
                TComponent* c = p->GetComp(*obj);
                if (!c || c->Name().empty()) continue;
                v = TValue::Ident(RefName(c));
                break;
            }
            case TPropKind::Method: {
                TMethodBase* m = p->GetMethod(*obj);
                if (!m || m->Name().empty()) continue;
                v = TValue::Ident(m->Name());
                break;
            }
            }
            out.push_back({name, std::move(v), 0, 0});
        }
        if (auto* pers = dynamic_cast<TPersistent*>(obj)) {
            TCollectingFiler filer;
            pers->DefineProperties(filer);
            for (auto& d : filer.Defs)
                if (d.HasData) out.push_back({prefix + d.Name, d.Write(), 0, 0});
        }
    }

    TComponent* FRoot;
};

}  // namespace

TComponent* ReadComponentText(const std::string& text, const TReadOptions& options, TComponent* root,
                              TComponent* owner) {
    TObjectText tree = ParseObjectText(text, options.FileName);
    return TDefinitionReader(options).Read(tree, root, owner);
}

TObjectText ComponentToObjectText(TComponent* root) { return TDefinitionWriter(root).WriteObject(root); }

std::string WriteComponentText(TComponent* root) { return FormatObjectText(ComponentToObjectText(root)); }

}  // namespace kv
