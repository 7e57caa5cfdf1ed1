// Main window: opens with its title and closes cleanly.
#include "app/Unit1.h"

#include <QApplication>
#include <gtest/gtest.h>

TEST(TForm1, OpensAndClosesCleanly) {
    TForm1 form;
    form.show();
    QApplication::processEvents();
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.windowTitle(), "Pagewright");
    EXPECT_TRUE(form.close());
    EXPECT_FALSE(form.isVisible());
}
