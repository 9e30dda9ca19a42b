// Stream data prepared for writing: compression and ASCII encoding put a
// filter in front of a stream's /Filter, decoding takes the standard ones
// off. Shared by the document component's operations and the writer.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "pdf/kvCstPDFDoc.h"

namespace pdf {

class TkvPDFDictObject;
class TkvPDFObject;

// Follows a reference to the object it names (nullptr when missing);
// returns any other object as it is.
using TkvDirectResolver = std::function<const TkvPDFObject*(const TkvPDFObject*)>;

// Kind 0 Flate at level, 1 RunLength; other kinds return data unchanged.
std::string CompressString(const std::string& data, uint8_t kind, uint8_t level);
// Kind 0 ASCIIHex, 1 ASCII85; other kinds return data unchanged.
std::string ASCIIEncodeString(const std::string& data, uint8_t kind);

// The data compressed when the switch is on and /Filter does not already
// hold the chosen filter (or any deflate or fax data); the chosen filter
// goes in front of /Filter and a null in front of /DecodeParms, and
// /Length is set. A /Filter neither name nor array raises
// kvCstPDFDoc::EUnexpectedObjectError.
std::string CompressStreamData(TkvPDFDictObject& dict, std::string data, const TkvCompression& compression,
                               const TkvDirectResolver& direct);
// The same for ASCII encoding; skipped when the chosen encoding already is
// the first filter.
std::string ASCIIEncodeStreamData(TkvPDFDictObject& dict, std::string data, const TkvASCIIEncode& encode,
                                  const TkvDirectResolver& direct);
// Takes the leading ASCIIHex, ASCII85, Flate and RunLength filters off the
// data. A filter with decode parameters (a predictor) stops the decoding,
// as it cannot be undone here; the parameters of removed filters go with
// them. /Length is set to the final length.
std::string DecodeStreamData(TkvPDFDictObject& dict, std::string data, const TkvDirectResolver& direct);

}  // namespace pdf
