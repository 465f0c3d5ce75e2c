#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <sys/types.h>

#include "controller/sonvale.h"
#include "coreaudio/device_model.h"
#include "support/controller_probe.h"

namespace sonvale::test {

using namespace std::chrono_literals;

inline const QString connecting = QStringLiteral("正在独立连接 卧室…");
inline const QString connected = QStringLiteral("已连接 卧室，正在转发系统音频");
inline const QString standby = QStringLiteral("静音待机，已释放 HomePod 播放会话");
inline const QString reconnecting = QStringLiteral("检测到声音，正在重新连接 卧室…");
inline const QString workerEnded = QStringLiteral("HomePod 连接已结束，已恢复本机声音；2 秒后重试");

// Pumps the main loop until done() holds or the limit passes.
bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s);
void settle(std::chrono::milliseconds span);

// Children of this process (zombies included) and this process's open pipes, from /proc.
std::vector<pid_t> childProcesses();
std::set<std::string> openPipes();

// A controller named "卧室" and switched on, over the in-memory device model (built-in
// speaker as the default output, and headphones), with a clock the test moves and a
// resource directory whose sender.py runs a scripted worker from tests/engine/workers.
// Tear-down stops the engine and checks that no worker process, pipe or capture is left.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    void useWorker(const std::string& scenario);
    void configure(const QString& name = QStringLiteral("卧室"), bool on = true);
    // The log's messages without their timestamps.
    QStringList logMessages() const;

    bool waitForMessage(const QString& text, std::chrono::milliseconds limit = 10s);
    bool waitForNoWorker(std::chrono::milliseconds limit = 10s);
    bool noWorkerProcesses() const;
    // Ends the engine and waits until every worker process has been reaped.
    void stopAndReap(std::chrono::milliseconds limit = 8s);
    void deliverTone(std::uint32_t frames = 4800);

    QTemporaryDir dir;
    std::shared_ptr<coreaudio::DeviceModel> model;
    coreaudio::AudioObjectID speaker = 0;
    coreaudio::AudioObjectID headphones = 0;
    std::shared_ptr<ManualClock> clock;
    std::unique_ptr<Sonvale> controller;
    std::unique_ptr<ControllerProbe> inspect;
    std::set<std::string> pipesBefore;
    std::vector<pid_t> childrenBefore;  // a sound server's daemons, say
};

}  // namespace sonvale::test
