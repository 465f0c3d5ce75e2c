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

// Pumps the main loop until done() holds or the limit passes.
bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s);
void settle(std::chrono::milliseconds span);

// Children of this process, zombies included, read from /proc.
std::vector<pid_t> childProcesses();
// This process's open descriptors that are pipes.
std::set<std::string> openPipes();

// A controller over the in-memory device model (a built-in speaker as the default output
// and a pair of headphones), with a clock the test moves, a temporary log and settings,
// and a resource directory whose sender.py runs one of the scripted workers in
// tests/engine/workers. On tear-down it stops the engine and checks that no worker
// process, no pipe and no capture object of the model is left behind.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Makes sender.py run tests/engine/workers/<scenario>.py.
    void useWorker(const std::string& scenario);
    // Name and enabled flag as the user would have set them.
    void configure(const QString& name = QStringLiteral("卧室"), bool on = true);
    // The log's messages, timestamps removed, in order.
    QStringList logMessages() const;
    QString senderLog() const;
    std::string resourceDir() const;

    // Waits until the worker's report has been handled: the status text is `text`.
    bool waitForMessage(const QString& text, std::chrono::milliseconds limit = 10s);
    bool waitForNoWorker(std::chrono::milliseconds limit = 10s);
    // Ends the engine and waits until every worker process has been reaped.
    bool noWorkerProcesses() const;
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
