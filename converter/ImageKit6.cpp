#include "converter/ImageKit6.h"

#include <dlfcn.h>

#include <mutex>

namespace converter {

namespace {

struct Binding {
  std::mutex lock;
  void* module = nullptr;
  std::string path;         // the library file asked for
  std::string moduleError;  // why it did not load ("" when it did)
  bool attempted = false;
  TIKGetImageFromHdc getImageFromHdc = nullptr;
  TIKSetDpi setDpi = nullptr;
  TIKTiffFileSave tiffFileSave = nullptr;
  TIKFreeMemory freeMemory = nullptr;
};

Binding& TheBinding() {
  static Binding b;
  return b;
}

template <typename F>
void Lookup(Binding& b, const char* name, F& slot) {
  slot = reinterpret_cast<F>(::dlsym(b.module, name));
}

std::string MissingText(const Binding& b, const char* name) {
  std::string head = std::string("Cannot call ") + name + ": ";
  if (!b.attempted) return head + "the imaging library is not loaded";
  if (!b.module) return head + "the imaging library " + b.path + " could not be loaded: " + b.moduleError;
  return head + "the imaging library " + b.path + " has no entry point " + name;
}

// The bound entry point, or EImagingLibraryError naming what is missing.
template <typename F>
F Require(F Binding::*slot, const char* name) {
  Binding& b = TheBinding();
  std::lock_guard<std::mutex> guard(b.lock);
  F f = b.*slot;
  if (!f) throw EImagingLibraryError(MissingText(b, name));
  return f;
}

}  // namespace

void BindImagingLibrary() {
  BindImagingLibrary(rtl::ExtractFilePath(rtl::ExecutableFileName()));
}

void BindImagingLibrary(const std::string& folder) {
  UnbindImagingLibrary();
  Binding& b = TheBinding();
  std::lock_guard<std::mutex> guard(b.lock);
  b.attempted = true;
  // A path with a slash: dlopen takes exactly this file, never one found
  // through the library search path.
  std::string dir = folder.empty() ? "./" : folder;
  if (dir.back() != '/') dir += '/';
  b.path = dir + TK_IMAGEKIT_LIBRARY;
  b.module = ::dlopen(b.path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!b.module) {
    const char* why = ::dlerror();
    b.moduleError = why ? why : "unknown error";
    return;
  }
  Lookup(b, "IKGetImageFromHdc", b.getImageFromHdc);
  Lookup(b, "IKSetDpi", b.setDpi);
  Lookup(b, "IKTiffFileSave", b.tiffFileSave);
  Lookup(b, "IKFreeMemory", b.freeMemory);
}

void UnbindImagingLibrary() {
  Binding& b = TheBinding();
  std::lock_guard<std::mutex> guard(b.lock);
  b.getImageFromHdc = nullptr;
  b.setDpi = nullptr;
  b.tiffFileSave = nullptr;
  b.freeMemory = nullptr;
  if (b.module) ::dlclose(b.module);
  b.module = nullptr;
  b.moduleError.clear();
  b.attempted = false;
}

bool ImagingLibraryBound() {
  return ImagingLibraryError().empty();
}

std::string ImagingLibraryError() {
  Binding& b = TheBinding();
  std::lock_guard<std::mutex> guard(b.lock);
  std::string missing;
  auto check = [&](bool present, const char* name) {
    if (!present && missing.empty()) missing = MissingText(b, name);
  };
  check(b.getImageFromHdc, "IKGetImageFromHdc");
  check(b.setDpi, "IKSetDpi");
  check(b.tiffFileSave, "IKTiffFileSave");
  check(b.freeMemory, "IKFreeMemory");
  return missing;
}

TIKImage IKGetImageFromHdc(HDC dc, int32_t width, int32_t height, int32_t bitDepth) {
  return Require(&Binding::getImageFromHdc, "IKGetImageFromHdc")(dc, width, height, bitDepth);
}

int32_t IKSetDpi(TIKImage image, int32_t xDpi, int32_t yDpi) {
  return Require(&Binding::setDpi, "IKSetDpi")(image, xDpi, yDpi);
}

int32_t IKTiffFileSave(const std::string& fileName, TIKImage image, int32_t compression, int32_t reserved1,
                       int32_t reserved2, const std::string& reserved3, int32_t reserved4, int32_t reserved5,
                       const std::string& reserved6, const std::string& reserved7,
                       const std::string& reserved8) {
  return Require(&Binding::tiffFileSave, "IKTiffFileSave")(
      fileName.c_str(), image, compression, reserved1, reserved2, reserved3.c_str(), reserved4, reserved5,
      reserved6.c_str(), reserved7.c_str(), reserved8.c_str());
}

int32_t IKFreeMemory(TIKImage image) {
  return Require(&Binding::freeMemory, "IKFreeMemory")(image);
}

}  // namespace converter
