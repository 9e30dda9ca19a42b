// Name tables of the PDF library, indexed from 0 (see IndexOfName in
// kvPDFUtils).
#pragma once

namespace pdf {

inline constexpr const char* PageModeNames[] = {"/UseNone", "/UseOutlines", "/UseThumbs", "/FullScreen"};
inline constexpr const char* PageLayoutNames[] = {"/None", "/SinglePage", "/OneColumn", "/TwoColumnLeft",
                                                  "/TwoColumnRight"};
inline constexpr const char* NonFullScreenPageModeNames[] = {"/UseNone", "/UseOutlines", "/UseThumbs"};
inline constexpr const char* ObjectTypeNames[] = {"Boolean Object",
                                                  "Integer Object",
                                                  "Int64 Object",
                                                  "Real Object",
                                                  "String Object",
                                                  "Name Object",
                                                  "Array Object",
                                                  "Dictionary Object",
                                                  "Stream Object",
                                                  "Null Object",
                                                  "IndirectReference Object",
                                                  "Indirect Object"};
inline constexpr const char* ResourceCategoryNames[] = {"/Font",    "/XObject", "/ExtGState", "/ColorSpace",
                                                        "/Pattern", "/Shading", "/ProcSet",   "/Properties"};
inline constexpr const char* DestinationKindNames[] = {"/XYZ",  "/Fit",  "/FitH",  "/FitV",
                                                       "/FitR", "/FitB", "/FitBH", "/FitBV"};

}  // namespace pdf
