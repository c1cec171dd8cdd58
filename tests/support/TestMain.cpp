#include <QApplication>
#include <gtest/gtest.h>

// Every test executable gets an application object, so widgets and event processing work.
int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
