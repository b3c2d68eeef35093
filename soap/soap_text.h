// The SOAP client's text work: entities, the request envelope, the answer's body and its
// elements. No XML parser: the answer is searched as text, bounded by its own length.
#ifndef QRN_SOAP_SOAP_TEXT_H
#define QRN_SOAP_SOAP_TEXT_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace soap {

// Each formatted piece of the request must fit this buffer, zero included.
constexpr size_t kPieceSize = 1024;
// The "<name " and "</name>" search texts must fit this buffer, zero included.
constexpr size_t kSearchSize = 100;
// The numeric GetProperty reads the text into a buffer of this size.
constexpr int kNumberSize = 100;

// & < > and " as entities; every other byte as it is.
std::string Encode(const char *text);
// The four entities back; any other ampersand becomes '?' (only the ampersand is consumed).
std::string Decode(const char *text, size_t len);

// The pieces of the envelope, appended to out; false (out unchanged) when a piece would not
// fit kPieceSize.
bool AppendHead(std::string &out, const char *action, const char *urn);
bool AppendProperty(std::string &out, const char *name, const char *encoded_value);
bool AppendTail(std::string &out, const char *action);

// Cuts the answer down to the content of its SOAP body: 0, or 5 when the body is missing or
// not closed (the answer is then left as it was).
int CutBody(std::string &answer);

// The raw text of the first element "<name ...>value</name>" (written with attributes) in
// body: 0; 2 when the name does not fit a search text; 3 not found; 5 malformed.
int FindProperty(const std::string &body, const char *name, std::string &value);

// The leading decimal number of a text: white space, an optional sign, digits; 0 without.
int64_t LeadingNumber(const char *text);

}  // namespace soap

#endif
