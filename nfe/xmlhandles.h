#pragma once
// Owners for the libxml2 and xmlsec objects this library creates, so that no
// path out of a function leaks them.
#include <QByteArray>

#include <libxml/tree.h>
#include <xmlsec/keys.h>
#include <xmlsec/xmldsig.h>

#include <memory>

namespace zavnfe {

// A deleter that hands the object back to the library's own function.
template <auto release> struct FreedBy {
    template <typename T> void operator()(T* object) const { release(object); }
};
// xmlFree is a variable the library may repoint, not a function.
struct XmlCharFree {
    void operator()(xmlChar* text) const { xmlFree(text); }
};

using XmlDoc = std::unique_ptr<xmlDoc, FreedBy<xmlFreeDoc>>;
using XmlText = std::unique_ptr<xmlChar, XmlCharFree>;
using XmlSecKey = std::unique_ptr<xmlSecKey, FreedBy<xmlSecKeyDestroy>>;
using XmlSecDSigCtx = std::unique_ptr<xmlSecDSigCtx, FreedBy<xmlSecDSigCtxDestroy>>;

inline const xmlChar* xmlText(const char* text) {
    return reinterpret_cast<const xmlChar*>(text);
}

// The document written as UTF-8 XML; empty when libxml2 could not write it.
// libxml2 ends the XML declaration and the document with a line feed: both
// are left out, since the authorities refuse a message with edit characters
// at its ends or between its tags.
inline QByteArray xmlBytes(xmlDoc* doc) {
    xmlChar* buffer = nullptr;
    int size = 0;
    xmlDocDumpMemoryEnc(doc, &buffer, &size, "UTF-8");
    const XmlText owner(buffer);
    if (!buffer)
        return {};
    QByteArray xml(reinterpret_cast<const char*>(buffer), size);
    if (xml.startsWith("<?xml")) {
        const qsizetype end = xml.indexOf("?>");
        if (end > 0 && xml.mid(end + 2, 1) == "\n")
            xml.remove(end + 2, 1);
    }
    while (xml.endsWith('\n'))
        xml.chop(1);
    return xml;
}

} // namespace zavnfe
