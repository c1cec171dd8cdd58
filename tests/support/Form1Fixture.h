#pragma once

#include "core/SettingsStore.h"
#include "support/Fakes.h"
#include "support/TempTree.h"
#include "ui/main/Form1.h"

#include <gtest/gtest.h>
#include <memory>

namespace quarnel::test {

// A main window over throwaway settings, temporary folder and program folder.
class Form1Fixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qputenv("TEMP", m_temp.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
    }

    Form1& form()
    {
        if (!m_form) {
            auto trayBackend = std::make_unique<FakeTray>();
            auto hotKeyFake = std::make_unique<FakeHotKey>();
            trayFake = trayBackend.get();
            hotKey = hotKeyFake.get();
            trayFake->hasTray = trayAvailable;
            m_form = std::make_unique<Form1>(Form1Context {fakes.services(), settings(), program.path(),
                                                           program.file(QStringLiteral("quarnel")),
                                                           std::move(trayBackend), std::move(hotKeyFake)});
        }
        return *m_form;
    }
    SettingsStore& settings()
    {
        if (!m_settings)
            m_settings = std::make_unique<SettingsStore>(settingsPath());
        return *m_settings;
    }
    QString settingsPath() const { return m_config.file(QStringLiteral("Vantorell/Quarnel.conf")); }
    QString logText() const { return QString::fromUtf8(TempTree::read(m_temp.file(QStringLiteral("DEV2IVI.log")))); }
    QStringList rows() { return form().folderRows(); }
    QString tempPath() const { return m_temp.path(); }
    template <class T> T* child(const char* name) { return form().findChild<T*>(QString::fromLatin1(name)); }
    // Ends this window (as if closed) and lets the next form() start anew over the same files.
    void restart()
    {
        form().Form_QueryUnload();
        m_form.reset();
        m_settings.reset();
    }

    FakeServices fakes;
    TempTree program;
    bool trayAvailable = true;
    FakeTray* trayFake = nullptr;
    FakeHotKey* hotKey = nullptr;

private:
    TempTree m_temp;
    TempTree m_config;
    std::unique_ptr<SettingsStore> m_settings;
    std::unique_ptr<Form1> m_form;
};

} // namespace quarnel::test
