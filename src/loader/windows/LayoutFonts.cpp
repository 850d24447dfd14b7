#include "loader/windows/LayoutFonts.h"

#include <QStringList>

namespace kestrel {

QFont pixel_font(const char* family, int pixels) {
  QStringList families{QString::fromLatin1(family)};
  if (families.front() == QLatin1String("MS Sans Serif"))
    families << QStringLiteral("Arial") << QStringLiteral("Liberation Sans")
             << QStringLiteral("Nimbus Sans") << QStringLiteral("Helvetica");
  else if (families.front() == QLatin1String("Comic Sans MS"))
    families << QStringLiteral("Comic Neue") << QStringLiteral("URW Gothic");
  QFont font;
  font.setFamilies(families);
  font.setPixelSize(pixels);
  return font;
}

}  // namespace kestrel
