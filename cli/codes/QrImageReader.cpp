// The headers give the libraries' types and the shapes of their functions only: the functions
// come from the libraries loaded at run time, and the program links neither.
#include "codes/QrImageReader.hpp"

#include <png.h>
#include <sys/stat.h>
#include <zbar.h>

#include <cerrno>
#include <cstdio>
#include <system_error>
#include <utility>

#include "frame/VisibleText.hpp"

namespace tervala::cli {

struct QrImageReader::Functions {
  decltype(&png_image_begin_read_from_stdio) beginRead = nullptr;
  decltype(&png_image_finish_read) finishRead = nullptr;
  decltype(&png_image_free) freeImage = nullptr;
  decltype(&zbar::zbar_image_scanner_create) createScanner = nullptr;
  decltype(&zbar::zbar_image_scanner_set_config) configure = nullptr;
  decltype(&zbar::zbar_image_scanner_destroy) destroyScanner = nullptr;
  decltype(&zbar::zbar_image_scanner_request_dbus) requestBus = nullptr;  // null before 0.21
  decltype(&zbar::zbar_image_create) createImage = nullptr;
  decltype(&zbar::zbar_image_set_format) setFormat = nullptr;
  decltype(&zbar::zbar_image_set_size) setSize = nullptr;
  decltype(&zbar::zbar_image_set_data) setData = nullptr;
  decltype(&zbar::zbar_image_destroy) destroyImage = nullptr;
  decltype(&zbar::zbar_scan_image) scan = nullptr;
  decltype(&zbar::zbar_image_first_symbol) firstSymbol = nullptr;
  decltype(&zbar::zbar_symbol_next) nextSymbol = nullptr;
  decltype(&zbar::zbar_symbol_get_type) symbolType = nullptr;
  decltype(&zbar::zbar_symbol_get_data) symbolData = nullptr;
  decltype(&zbar::zbar_symbol_get_data_length) symbolLength = nullptr;
};

namespace {

using Functions = QrImageReader::Functions;

// The library `name` of the Debian package `package`, or why the tool cannot use it.
std::variant<SharedLibrary, std::string> openLibrary(const std::string& name, const char* package) {
  auto library = SharedLibrary::open(name);
  if (auto* reason = std::get_if<std::string>(&library)) {
    return "--qr-image needs " + name + ", which cannot be loaded: " + visible(*reason) +
           " (Debian: apt install " + package + ")";
  }
  return library;
}

// Sets `target` to the function `name` of `library`; names the first one missing in `missing`.
template <class Function>
void bind(const SharedLibrary& library, const char* name, Function& target, std::string& missing) {
  target = library.function<Function>(name);
  if (target == nullptr && missing.empty()) {
    missing = name;
  }
}

struct CloseFile {
  void operator()(std::FILE* file) const noexcept {
    std::fclose(file);  // NOLINT(cppcoreguidelines-owning-memory): the unique_ptr owns it
  }
};

// The image at `path` in 8-bit grey (zbar's "Y800"), one byte a pixel, row after row.
struct GreyImage {
  platform::SecretBytes pixels;  // the code's pixels spell the secret out
  unsigned width = 0;
  unsigned height = 0;
};

std::variant<GreyImage, std::string> readGrey(const Functions& library, const std::string& path) {
  const std::string named = "the QR image '" + visible(path) + "'";
  // Opened here, not by libpng, so that a missing file and one that is no regular file (a FIFO
  // would never end) are said as such.
  const std::unique_ptr<std::FILE, CloseFile> file(std::fopen(path.c_str(), "rbe"));
  if (file == nullptr) {
    return "cannot open " + named + ": " + std::generic_category().message(errno);
  }
  // Unbuffered: the compressed pixels spell the secret out too, and a stdio buffer goes unwiped.
  std::setvbuf(file.get(), nullptr, _IONBF, 0);
  struct stat status {};
  if (fstat(fileno(file.get()), &status) != 0 || !S_ISREG(status.st_mode)) {
    return named + " is not a file";
  }
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  // libpng's state goes on every road; after a finished read it is already gone, and a second
  // free does nothing.
  const std::unique_ptr<png_image, decltype(library.freeImage)> state(&image, library.freeImage);
  if (library.beginRead(&image, file.get()) == 0) {
    return named + " is not a PNG image (" + visible(image.message) + ")";
  }
  const auto pixels = std::uint64_t{image.width} * image.height;
  if (pixels > QrImageReader::maxPixels) {
    return named + " has " + std::to_string(image.width) + "x" + std::to_string(image.height) +
           " pixels, more than the " + std::to_string(QrImageReader::maxPixels / 1'000'000) +
           " megapixels read";
  }
  image.format = PNG_FORMAT_GRAY;  // one byte a pixel, rows without padding
  GreyImage grey{platform::SecretBytes(static_cast<std::size_t>(pixels)), image.width, image.height};
  // A transparent background (a code saved from a web page) becomes white, as it was shown.
  const png_color white{255, 255, 255};
  if (library.finishRead(&image, &white, grey.pixels.data(), 0, nullptr) == 0) {
    return named + " is not a readable PNG image (" + visible(image.message) + ")";
  }
  return grey;
}

// The one text of the QR codes zbar finds in `grey`.
std::variant<platform::SecretText, std::string> decode(const Functions& library, const GreyImage& grey,
                                                       const std::string& path) {
  const std::unique_ptr<zbar::zbar_image_scanner_t, decltype(library.destroyScanner)> scanner(
      library.createScanner(), library.destroyScanner);
  const std::unique_ptr<zbar::zbar_image_t, decltype(library.destroyImage)> image(library.createImage(),
                                                                                  library.destroyImage);
  if (scanner == nullptr || image == nullptr) {
    return std::string("libzbar could not start");
  }
  // Where built with D-Bus, zbar can send each decoded text to the system bus: never the secret.
  if (library.requestBus != nullptr) {
    library.requestBus(scanner.get(), 0);
  }
  // QR codes only: a bar code beside it in the screenshot is no key.
  library.configure(scanner.get(), zbar::ZBAR_NONE, zbar::ZBAR_CFG_ENABLE, 0);
  library.configure(scanner.get(), zbar::ZBAR_QRCODE, zbar::ZBAR_CFG_ENABLE, 1);
  library.setFormat(image.get(), zbar_fourcc('Y', '8', '0', '0'));
  library.setSize(image.get(), grey.width, grey.height);
  // No clean-up function: the pixels stay ours, wiped when they go.
  library.setData(image.get(), grey.pixels.data(), grey.pixels.size(), nullptr);
  const std::string named = "the QR image '" + visible(path) + "'";
  if (library.scan(scanner.get(), image.get()) < 0) {
    return "libzbar could not scan " + named;
  }
  platform::SecretText text;
  bool found = false;
  for (const auto* symbol = library.firstSymbol(image.get()); symbol != nullptr;
       symbol = library.nextSymbol(symbol)) {
    if (library.symbolType(symbol) != zbar::ZBAR_QRCODE) {
      continue;
    }
    const std::string_view data(library.symbolData(symbol), library.symbolLength(symbol));
    if (!found) {
      text.assign(data.begin(), data.end());
      found = true;
    } else if (platform::view(text) != data) {
      return named + " shows QR codes of different texts: crop it to the one to add";
    }
  }
  // zbar's own copy of the text cannot be wiped: it goes with the image and the scanner now.
  if (!found) {
    return "no QR code found in " + named;
  }
  return text;
}

}  // namespace

QrImageReader::QrImageReader(SharedLibrary zbar, SharedLibrary png,
                             std::unique_ptr<const Functions> functions) noexcept
    : zbar_(std::move(zbar)), png_(std::move(png)), functions_(std::move(functions)) {}

QrImageReader::QrImageReader(QrImageReader&& other) noexcept = default;
QrImageReader& QrImageReader::operator=(QrImageReader&& other) noexcept = default;
QrImageReader::~QrImageReader() = default;

std::variant<QrImageReader, std::string> QrImageReader::load() {
  return load(Libraries{});
}

std::variant<QrImageReader, std::string> QrImageReader::load(const Libraries& names) {
  auto png = openLibrary(names.png, "libpng16-16");
  if (auto* reason = std::get_if<std::string>(&png)) {
    return std::move(*reason);
  }
  auto zbar = openLibrary(names.zbar, "libzbar0");
  if (auto* reason = std::get_if<std::string>(&zbar)) {
    return std::move(*reason);
  }
  const auto& pngLibrary = std::get<SharedLibrary>(png);
  const auto& zbarLibrary = std::get<SharedLibrary>(zbar);
  auto table = std::make_unique<Functions>();
  std::string missing;
  bind(pngLibrary, "png_image_begin_read_from_stdio", table->beginRead, missing);
  bind(pngLibrary, "png_image_finish_read", table->finishRead, missing);
  bind(pngLibrary, "png_image_free", table->freeImage, missing);
  if (!missing.empty()) {
    return "--qr-image needs " + names.png + " with " + missing + " (Debian: apt install libpng16-16)";
  }
  bind(zbarLibrary, "zbar_image_scanner_create", table->createScanner, missing);
  bind(zbarLibrary, "zbar_image_scanner_set_config", table->configure, missing);
  bind(zbarLibrary, "zbar_image_scanner_destroy", table->destroyScanner, missing);
  bind(zbarLibrary, "zbar_image_create", table->createImage, missing);
  bind(zbarLibrary, "zbar_image_set_format", table->setFormat, missing);
  bind(zbarLibrary, "zbar_image_set_size", table->setSize, missing);
  bind(zbarLibrary, "zbar_image_set_data", table->setData, missing);
  bind(zbarLibrary, "zbar_image_destroy", table->destroyImage, missing);
  bind(zbarLibrary, "zbar_scan_image", table->scan, missing);
  bind(zbarLibrary, "zbar_image_first_symbol", table->firstSymbol, missing);
  bind(zbarLibrary, "zbar_symbol_next", table->nextSymbol, missing);
  bind(zbarLibrary, "zbar_symbol_get_type", table->symbolType, missing);
  bind(zbarLibrary, "zbar_symbol_get_data", table->symbolData, missing);
  bind(zbarLibrary, "zbar_symbol_get_data_length", table->symbolLength, missing);
  table->requestBus = zbarLibrary.function<decltype(table->requestBus)>("zbar_image_scanner_request_dbus");
  if (!missing.empty()) {
    return "--qr-image needs " + names.zbar + " with " + missing + " (Debian: apt install libzbar0)";
  }
  return QrImageReader(std::get<SharedLibrary>(std::move(zbar)), std::get<SharedLibrary>(std::move(png)),
                       std::move(table));
}

std::variant<platform::SecretText, std::string> QrImageReader::read(const std::string& path) const {
  auto grey = readGrey(*functions_, path);
  if (auto* reason = std::get_if<std::string>(&grey)) {
    return std::move(*reason);
  }
  return decode(*functions_, std::get<GreyImage>(grey), path);
}

}  // namespace tervala::cli
