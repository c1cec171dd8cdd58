#pragma once

#include <QString>
#include <array>

namespace quarnel {

// The conversion methods, in the order the pass tests their buttons.
enum class Method { None, Acrobat, Ghostscript, BlackWhite, GflAx };

// One method as every part of the program knows it. Its implementation is bound to `method` in
// MethodSet (each needs its own engine).
struct MethodEntry
{
    Method method;
    const char* name; // as the command line names it
    int stored; // the "Option" setting's number
    const char* button; // the options window's radio button
    bool usesQuality; // the quality slider applies
    bool hasPageOptions; // the pages and resolution frame applies
    bool firstPageOnly; // can convert the first page alone (else "first page only" moves the choice off it)
};

// In the order of their stored numbers; the first is the one chosen when nothing else is.
inline constexpr std::array<MethodEntry, 4> kMethods {{
    {Method::Ghostscript, "ghostscript", 1, "Option2", true, false, true},
    {Method::BlackWhite, "black-white", 2, "Option3", false, false, true},
    {Method::Acrobat, "acrobat", 3, "Option1", false, false, false},
    {Method::GflAx, "gflax", 4, "Option4", true, true, true},
}};

inline const MethodEntry* MethodNamed(const QString& name)
{
    for (const MethodEntry& entry : kMethods)
        if (name == QLatin1String(entry.name))
            return &entry;
    return nullptr;
}

inline const MethodEntry* MethodStored(const QString& stored)
{
    for (const MethodEntry& entry : kMethods)
        if (stored == QString::number(entry.stored))
            return &entry;
    return nullptr;
}

inline const MethodEntry& MethodOf(Method method)
{
    for (const MethodEntry& entry : kMethods)
        if (entry.method == method)
            return entry;
    return kMethods[0];
}

} // namespace quarnel
