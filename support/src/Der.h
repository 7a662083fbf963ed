// Just enough DER to take signature messages apart and put them together again where the
// platform's decoders fall short.
#pragma once
#include <windows.h>

#include <cstddef>
#include <vector>

namespace Lumetra {
namespace internal {

extern const BYTE kSignedDataOid[11]; // encoded OID of PKCS #7 SignedData

struct Element {
    BYTE tag = 0;
    size_t start = 0;   // first byte of the tag
    size_t content = 0; // first byte of the content
    size_t end = 0;     // one past the last byte
};

// The element at pos, which must end by limit (single-byte tags, lengths of up to 4 bytes).
bool ReadElement(const std::vector<BYTE>& der, size_t pos, size_t limit, Element* element);
bool ReadChildren(const std::vector<BYTE>& der, const Element& parent, std::vector<Element>* children);
std::vector<BYTE> Wrap(BYTE tag, const std::vector<BYTE>& content);
void AppendRange(std::vector<BYTE>& out, const std::vector<BYTE>& der, size_t from, size_t to);

} // namespace internal
} // namespace Lumetra
