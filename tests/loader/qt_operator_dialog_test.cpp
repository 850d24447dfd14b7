// What the Qt dialogs are handed: message lines and file filters.

#include <gtest/gtest.h>

#include "QtOperatorDialog.h"

namespace kestrel {
namespace {

TEST(QtOperatorDialog, CarriageReturnsBecomeLineBreaks) {
  EXPECT_EQ(message_box_text("File upload in progress.\rAre you sure?"),
            QStringLiteral("File upload in progress.\nAre you sure?"));
  EXPECT_EQ(message_box_text("a\r\nb"), QStringLiteral("a\nb"));
}

TEST(QtOperatorDialog, FilterPairsBecomeQtNameFilters) {
  EXPECT_EQ(qt_name_filter("Script files (*.sld)|*.sld|All files (*.*)|*.*"),
            QStringLiteral("Script files (*.sld);;All files (*)"));
  EXPECT_EQ(qt_name_filter("Images|*.bmp;*.jpg"), QStringLiteral("Images (*.bmp *.jpg)"));
  // A dangling description without a pattern is dropped.
  EXPECT_EQ(qt_name_filter("Scripts|*.sld|Broken"), QStringLiteral("Scripts (*.sld)"));
}

}  // namespace
}  // namespace kestrel
