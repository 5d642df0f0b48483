// The text form of component streams: reading definitions into component trees and
// writing trees back as canonical text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/Classes.h"

namespace kv {

struct TPropText;
struct TItemText;

// One streamed value as the text holds it.
struct TValue {
    enum TKind { vaNil, vaInt, vaFloat, vaString, vaIdent, vaFalse, vaTrue, vaSet, vaBinary, vaList, vaCollection };
    TKind Kind = vaNil;
    int64_t Int = 0;
    double Float = 0;
    std::string Str;                  // string, identifier, or the bytes of binary data
    std::vector<std::string> Names;   // set members
    std::vector<TValue> List;         // list items
    std::vector<TItemText> Items;     // collection items
    int Line = 0, Col = 0;

    static TValue Integer(int64_t v);
    static TValue String(std::string s);
    static TValue Ident(std::string s);
    static TValue Bool(bool b);
    bool operator==(const TValue& o) const;
};

struct TPropText {
    std::string Name;  // dotted for owned objects
    TValue Value;
    int Line = 0, Col = 0;
};

struct TItemText {
    std::vector<TPropText> Props;
    int Line = 0, Col = 0;
};

struct TObjectText {
    std::string Name, ClassName;
    std::vector<TPropText> Props;
    std::vector<TObjectText> Children;
    int Line = 0, Col = 0;
};

// A fault of a stream: the message names the file, line and column.
class EParserError : public Exception {
public:
    EParserError(const std::string& file, int line, int col, const std::string& msg);
    const char* ClassName() const override { return "EParserError"; }
    int Line, Col;
};

// Parses the text form into a tree of object records (no classes involved).
TObjectText ParseObjectText(const std::string& text, const std::string& fileName);
// Writes object records as canonical text.
std::string FormatObjectText(const TObjectText& obj);
std::string FormatValue(const TValue& v, int indent);

// A component of a class that is not registered, loaded as a bag of properties.
class TGenericComponent : public TComponent {
    KV_CLASS(TGenericComponent, TComponent)
public:
    using TComponent::TComponent;
    std::string GenericClassName;
    std::vector<TPropText> GenericProps;
};

struct TReadOptions {
    std::string FileName = "<stream>";
    // Unregistered classes load as TGenericComponent; references and handlers stay names.
    bool Generic = false;
    // Where handlers are looked up; the root when null.
    const TComponent* HandlerSource = nullptr;
    // The root and everything read into it are in design mode, as in a form designer:
    // tools that work on a definition read it this way, so that components do not act.
    bool Designing = false;
};

// Reads a definition. With Root given, the text's root object fills it (its class
// must be the text's class or derive from it); otherwise the root is created with
// Owner. Every other object is created with the root as owner, loaded with setters
// only storing, references resolved after the whole text, then Loaded is called on
// the root and each component in read order. On a fault nothing read stays behind.
TComponent* ReadComponentText(const std::string& text, const TReadOptions& options, TComponent* root = nullptr,
                              TComponent* owner = nullptr);
// Writes a component tree: only values that differ from the class defaults.
std::string WriteComponentText(TComponent* root);
TObjectText ComponentToObjectText(TComponent* root);

}  // namespace kv
