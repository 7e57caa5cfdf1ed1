// Runs Qt's event loop in a test until a condition holds, with a generous bound that fails the
// test instead of hanging it.
#pragma once
#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>
#include <functional>

namespace qttest {

inline void runQtUntil(const std::function<bool()>& done) {
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done()) loop.quit();
    });
    check.start(1);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_TRUE(done()) << "Qt loop did not finish";
}

} // namespace qttest
