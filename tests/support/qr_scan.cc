#include "support/qr_scan.h"

#include <zbar.h>

#include <memory>

namespace lumora::testing_support {

std::optional<std::string> scanQRCode(const std::vector<unsigned char>& gray, int width,
                                      int height) {
  std::unique_ptr<zbar::zbar_image_scanner_t, decltype(&zbar::zbar_image_scanner_destroy)> scanner(
      zbar::zbar_image_scanner_create(), &zbar::zbar_image_scanner_destroy);
  zbar::zbar_image_scanner_set_config(scanner.get(), zbar::ZBAR_NONE, zbar::ZBAR_CFG_ENABLE, 0);
  zbar::zbar_image_scanner_set_config(scanner.get(), zbar::ZBAR_QRCODE, zbar::ZBAR_CFG_ENABLE, 1);
  std::unique_ptr<zbar::zbar_image_t, decltype(&zbar::zbar_image_destroy)> image(
      zbar::zbar_image_create(), &zbar::zbar_image_destroy);
  zbar::zbar_image_set_format(image.get(), zbar_fourcc('Y', '8', '0', '0'));
  zbar::zbar_image_set_size(image.get(), static_cast<unsigned>(width),
                            static_cast<unsigned>(height));
  zbar::zbar_image_set_data(image.get(), gray.data(), gray.size(), nullptr);
  if (zbar::zbar_scan_image(scanner.get(), image.get()) <= 0) return std::nullopt;
  const zbar::zbar_symbol_t* symbol = zbar::zbar_image_first_symbol(image.get());
  return std::string(zbar::zbar_symbol_get_data(symbol), zbar::zbar_symbol_get_data_length(symbol));
}

}  // namespace lumora::testing_support
