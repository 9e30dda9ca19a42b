// The image library's texts: messages, progress texts and the descriptions
// of the registered formats. Kept apart from the code so that they can be
// translated without touching it. %s stands for the format's name as each
// reader passes it.
#pragma once

namespace imaging {

// Messages, all raised as EInvalidGraphic.
inline constexpr const char* SInvalidImage = "Cannot load image. Invalid or unexpected %s image format.";
inline constexpr const char* SStreamReadError = "Stream read error in %s file.";
inline constexpr const char* SInvalidColorFormat = "Invalid color format in %s file.";
// First %s: SCompressionScheme (or another feature), second: the format.
inline constexpr const char* SUnsupportedFeature = "Cannot load image. %s not supported for %s files.";
inline constexpr const char* SCompressionScheme = "The compression scheme is";
inline constexpr const char* STiledImages = "Tiled images are";
inline constexpr const char* SPredictorScheme = "The predictor is";
inline constexpr const char* SSubsampledYCbCr = "Subsampled YCbCr without JPEG compression is";
inline constexpr const char* SSubsampledYCbCrPlanes = "Subsampled YCbCr in separate planes is";
inline constexpr const char* SInvalidCRC = "Cannot load image. CRC error found in %s file.";
inline constexpr const char* SCompressionError = "Cannot load image. Compression error found in %s file.";
inline constexpr const char* SExtraCompressedData =
    "Cannot load image. Extra compressed data found in %s file.";
inline constexpr const char* SInvalidPalette = "Cannot load image. Palette in %s file is invalid.";
inline constexpr const char* SUnknownCriticalChunk =
    "Cannot load PNG image. Unexpected but critical chunk detected.";
// Width, height and bytes per pixel beyond what any image may allocate.
inline constexpr const char* SImageTooLarge =
    "Cannot load image. The %s image is too large (%u x %u pixels).";
inline constexpr const char* SDuplicateRegistration = "Attempt to register %s twice.";

// Messages of the decoders, raised as EImageCodecError.
inline constexpr const char* SLZ77Error = "LZ77 decompression error.";
inline constexpr const char* SBogusJPEGTables = "Bogus JPEG tables field.";
inline constexpr const char* SImproperJPEGSize = "Improper JPEG strip/tile size.";
inline constexpr const char* SImproperJPEGComponents = "Improper JPEG component count.";
inline constexpr const char* SImproperJPEGPrecision = "Improper JPEG data precision.";
inline constexpr const char* SImproperJPEGSampling = "Improper JPEG sampling factors.";
inline constexpr const char* SFractionalJPEGScanline = "Fractional JPEG scanline unsupported.";
inline constexpr const char* SJPEGError = "JPEG error #%d";
inline constexpr const char* SPCDDataError = "Photo-CD residual data is damaged.";
// A warning that the reader shows (caption SWarning) and decoding goes on.
inline constexpr const char* SJPEGUnexpectedEnd = "JPEG decompression error. Unexpected end of input.";
inline constexpr const char* SWarning = "Warning";

// Progress texts.
inline constexpr const char* SPreparing = "Preparing...";
inline constexpr const char* SLoadingData = "Loading data...";
inline constexpr const char* SUpsampling = "Upsampling...";
inline constexpr const char* STransfering = "Transfering...";

// Format descriptions of the registration table.
inline constexpr const char* SDescWindowsBitmaps = "Windows bitmaps";
inline constexpr const char* SDescWindowsIcons = "Windows icons";
inline constexpr const char* SDescWindowsMetafiles = "Windows metafiles";
inline constexpr const char* SDescEnhancedMetafiles = "Windows enhanced meta files";
inline constexpr const char* SDescJPGImages = "JPG images";
inline constexpr const char* SDescJFIFImages = "JFIF images";
inline constexpr const char* SDescJPEImages = "JPE images";
inline constexpr const char* SDescJPEGImages = "JPEG images";
inline constexpr const char* SDescRLEBitmaps = "Run length encoded Windows bitmaps";
inline constexpr const char* SDescDIBBitmaps = "Device independant Windows bitmaps";
inline constexpr const char* SDescTruevisionImages = "Truevision images";
inline constexpr const char* SDescTIFFImages = "Tagged image file format images";
inline constexpr const char* SDescMacTIFFImages = "Macintosh TIFF images";
inline constexpr const char* SDescPCTIFImages = "PC TIF images";
inline constexpr const char* SDescFaxImages = "GFI fax images";
inline constexpr const char* SDescEPSImages = "Encapsulated Postscript images";
inline constexpr const char* SDescPCXImages = "ZSoft Paintbrush images";
inline constexpr const char* SDescScreenCaptureImages = "Word 5.x screen capture images";
inline constexpr const char* SDescRLAImages = "Alias/Wavefront images";
inline constexpr const char* SDescSGIImages = "SGI images";
inline constexpr const char* SDescSGITrueColorImages = "SGI true color images";
inline constexpr const char* SDescSGITrueColorAlphaImages = "SGI true color images with alpha";
inline constexpr const char* SDescSGIMonoImages = "SGI black/white images";
inline constexpr const char* SDescPhotoshopImages = "Photoshop images";
inline constexpr const char* SDescPortableMapImages = "Portable map images";
inline constexpr const char* SDescPortablePixelmapImages = "Portable pixel map images";
inline constexpr const char* SDescPortableGraymapImages = "Portable gray map images";
inline constexpr const char* SDescPortableBitmapImages = "Portable bitmap images";
inline constexpr const char* SDescAutodeskImages = "Autodesk images";
inline constexpr const char* SDescPhotoCDImages = "Kodak Photo-CD images";
inline constexpr const char* SDescHaloImages = "Dr. Halo images";
inline constexpr const char* SDescPaintshopProImages = "Paintshop Pro images";
inline constexpr const char* SDescPNGImages = "Portable network graphic images";

}  // namespace imaging
