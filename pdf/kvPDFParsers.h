// The tokenizer and object parser of PDF file syntax.
//
// The document layer creates one reader over a document's source stream,
// reads the header version, finds the cross-reference section with
// FindStartXRef, reads trailers, then positions the reader at each object
// offset and calls ReadObject; stream bodies are read with ReadStreamData
// once /Length is known. Only classic cross-reference tables are read: a
// cross-reference stream where a table should be raises
// EUnsupportedXRefError.
//
// Ownership: the reader borrows its source stream and its decryptor; every
// object it returns belongs to the caller. Characters are read one at a
// time through the stream: a TMemoryStream source is the fast path.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "pdf/kvClasses.h"
#include "pdf/kvPDFObjects.h"
#include "pdf/kvPDFUtils.h"

namespace pdf {

class TkvPDFDecrypt;

class TkvPDFStreamReader : public TkvRandomAccessFilter {
 public:
  // Arrays, dictionaries and indirect objects nested deeper than this raise
  // the error of the construct: no real document comes near it, and a file
  // of a few kilobytes of "[" must not exhaust the stack.
  static constexpr int kMaxNestingDepth = 256;

  // source must not be null (EInvalidStream); not owned.
  TkvPDFStreamReader(int32_t sourceID, rtl::TStream* source);

  // Skips white space (NUL, TAB, LF, FF, CR, SPACE) and "%" comments.
  void SkipWhitespace();
  // One token (the first character whatever it is, then up to a delimiter)
  // and the whitespace after it.
  std::string ReadToken();
  // The next token; the position stays at its start.
  std::string PeekToken();

  // The next object; nullptr at the end of the enclosing construct (")",
  // ">", "]", "}", nothing consumed) or of the data.
  std::unique_ptr<TkvPDFObject> ReadObject();
  std::unique_ptr<TkvPDFStringObject> ReadStringObject();
  std::unique_ptr<TkvPDFNameObject> ReadNameObject();
  std::unique_ptr<TkvPDFArrayObject> ReadArrayObject();
  std::unique_ptr<TkvPDFDictObject> ReadDictObject();
  // The body of a stream, read from just after its dictionary. A negative
  // length, or one beyond the bytes left, raises EStreamReadError before
  // anything is allocated.
  std::unique_ptr<rtl::TMemoryStream> ReadStreamData(int64_t length, int32_t objNum, int32_t genNum);
  // The same checks as ReadStreamData, but the body stays where it is: sets
  // offset to where it starts in the source and returns its byte count (0
  // for an empty body). The bytes are as stored, not decrypted.
  int64_t SkipStreamData(int64_t length, int64_t& offset);
  // The offset after the last "startxref"; EOffsetError when there is none
  // or it lies beyond the data.
  int32_t FindStartXRef();
  // The trailer dictionary of the cross-reference section at the position.
  std::unique_ptr<TkvPDFDictObject> ReadTrailer();
  // The header's minor version: 0..4, or 5 for anything later.
  int ReadHeaderVersion();

  const int32_t SourceID;
  // Set by the document layer once the encryption dictionary is known
  // (borrowed; nullptr for unencrypted files).
  const TkvPDFDecrypt* Decryptor = nullptr;
  // The object whose strings and streams are never decrypted: the /Encrypt
  // dictionary itself (-1: none).
  int32_t EncryptObjNum = -1;
  int32_t EncryptGenNum = -1;
  // Number and generation of the last "obj" header read; strings are
  // decrypted with their key.
  int32_t CurrentObjNum = 0;
  int32_t CurrentGenNum = 0;

 private:
  // Whether the character after the one at the position is c; the
  // position stays.
  bool NextIs(int c);
  std::unique_ptr<TkvPDFObject> ReadNumberOrObject();
  bool Decrypting(int32_t objNum, int32_t genNum) const;
  // "stream" and its line end; returns the body's byte count (0: empty),
  // with the position at the body.
  int64_t BeginStreamData(int64_t length);
  // White space, then "endstream" (EEndStreamError otherwise).
  void EndStreamData();
  int depth_ = 0;
  // The items and entries of the arrays and dictionaries being read, the
  // inner ones above the outer: each is sized once, when its count is
  // known, rather than grown item by item.
  std::vector<std::unique_ptr<TkvPDFObject>> items_;
  std::vector<std::pair<std::unique_ptr<TkvPDFNameObject>, std::unique_ptr<TkvPDFObject>>> entries_;
};

}  // namespace pdf
