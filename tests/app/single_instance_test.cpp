// One running copy per user and executable: a second start forwards to the first and ends.
#include "app/single_instance.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSignalSpy>
#include <csignal>
#include <filesystem>

#include <gtest/gtest.h>

#include "app/main_screen.h"
#include "support/temp_dir.h"
#include "ui/gui_test_util.h"

using pellora::app::SingleInstance;
using pellora::app::TMainScreen;
using pellora::test::TempDir;
using pellora::test::waitFor;

namespace {

QString uniqueName(const char* what) {
    static int counter = 0;
    return QStringLiteral("pellora-%1-%2-%3")
        .arg(what)
        .arg(QCoreApplication::applicationPid())
        .arg(++counter);
}

TEST(SingleInstance, KeyIsNamedAfterTheExecutableAndTheUser) {
    const QString a = SingleInstance::keyFor("pellora");
    EXPECT_TRUE(a.startsWith("pellora-"));
    EXPECT_NE(a, SingleInstance::keyFor("pellora2"));
    EXPECT_EQ(a, SingleInstance::keyFor("pellora"));
    // Characters a socket name cannot take are replaced.
    EXPECT_FALSE(SingleInstance::keyFor("my fax/prog").contains('/'));
}

TEST(SingleInstance, TheFirstIsPrimaryALaterOneForwardsToIt) {
    const QString key = uniqueName("inproc");
    auto first = std::make_unique<SingleInstance>(key);
    ASSERT_TRUE(first->isPrimary());
    QSignalSpy activations(first.get(), &SingleInstance::activationRequested);

    SingleInstance second(key);
    EXPECT_FALSE(second.isPrimary());
    EXPECT_TRUE(second.forwardToPrimary(2000));
    ASSERT_TRUE(waitFor([&] { return activations.count() == 1; }));

    // When the first copy ends, the next start is the running copy again.
    first.reset();
    SingleInstance third(key);
    EXPECT_TRUE(third.isPrimary());
}

// The real program, copied under a name of its own so that it pairs only with this test.
class ProgramCopy {
public:
    explicit ProgramCopy(const TempDir& dir, const QString& name) {
        path_ = dir.path() / name.toStdString();
        std::filesystem::copy_file(PELLORA_APP_PATH, path_);
    }
    QString path() const { return QString::fromStdString(path_.string()); }

private:
    std::filesystem::path path_;
};

TEST(SingleInstance, ASecondStartBringsTheRunningWindowForwardAndEndsWithoutAWindow) {
    TempDir programDir, dataDir;
    const QString name = uniqueName("second");
    ProgramCopy copy(programDir, name);

    // This test is the running copy, with its window minimised.
    SingleInstance running(SingleInstance::keyFor(name));
    ASSERT_TRUE(running.isPrimary());
    TMainScreen screen(dataDir.path());
    QObject::connect(&running, &SingleInstance::activationRequested, &screen,
                     &TMainScreen::bringToFront);
    screen.FormActivate(TMainScreen::StartShow::Minimized);
    ASSERT_TRUE(screen.isMinimized());

    QProcess second;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    second.setProcessEnvironment(env);
    second.start(copy.path(), {});
    ASSERT_TRUE(second.waitForStarted(5000));
    ASSERT_TRUE(waitFor([&] { return second.state() == QProcess::NotRunning; }, 15000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    // It ended before building a window: it never opened its tables.
    EXPECT_FALSE(std::filesystem::exists(programDir / "PLX.DBF"));

    ASSERT_TRUE(waitFor([&] { return !screen.isMinimized(); }));
    EXPECT_TRUE(screen.isVisible());
    screen.close();
}

TEST(SingleInstance, ACopyThatDiedDoesNotKeepTheProgramFromStarting) {
    TempDir programDir;
    const QString name = uniqueName("crash");
    ProgramCopy copy(programDir, name);

    QProcess crashing;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    crashing.setProcessEnvironment(env);
    crashing.start(copy.path(), {});
    ASSERT_TRUE(crashing.waitForStarted(5000));
    // Running for real once its tables exist beside it.
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(programDir / "PLXREC.DBF"); }, 15000));
    {
        SingleInstance meanwhile(SingleInstance::keyFor(name));
        EXPECT_FALSE(meanwhile.isPrimary());
    }
    ::kill(static_cast<pid_t>(crashing.processId()), SIGKILL);
    ASSERT_TRUE(crashing.waitForFinished(5000));

    SingleInstance after(SingleInstance::keyFor(name));
    EXPECT_TRUE(after.isPrimary());
}

}  // namespace
