#include "sender/speaker_listing.h"

#include <QProcess>
#include <QProcessEnvironment>

#include <nlohmann/json.hpp>

namespace sonvale {
namespace {

// A speaker's line is short; anything longer is not one and is not kept.
constexpr qint64 lineLimit = 4096;

}  // namespace

std::optional<ListedSpeaker> parseListedSpeaker(const QByteArray& line) {
    const auto parsed = nlohmann::json::parse(line.begin(), line.end(), nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
    const auto name = parsed.find("name");
    if (name == parsed.end() || !name->is_string()) return std::nullopt;
    ListedSpeaker speaker;
    speaker.name = QString::fromStdString(name->get<std::string>()).trimmed();
    if (speaker.name.isEmpty()) return std::nullopt;
    const auto airplay2 = parsed.find("airplay2");
    speaker.airplay2 = airplay2 != parsed.end() && airplay2->is_boolean() && airplay2->get<bool>();
    return speaker;
}

SpeakerListing::SpeakerListing(QObject* parent) : QObject(parent) {}

SpeakerListing::~SpeakerListing() {
    if (!process_) return;
    process_->disconnect(this);
    if (process_->state() != QProcess::NotRunning) {
        process_->kill();
        process_->waitForFinished(1000);
    }
}

bool SpeakerListing::running() const { return process_ && process_->state() != QProcess::NotRunning; }

void SpeakerListing::start(const WorkerCommand& command, int seconds) {
    if (running()) return;
    if (process_) process_->deleteLater();
    process_ = new QProcess(this);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("SONVALE_VENDOR"), command.vendorDir);
    process_->setProcessEnvironment(environment);
    process_->setStandardInputFile(QProcess::nullDevice());
    errors_ = std::make_unique<WorkerLog>(command.senderLogPath);
    connect(process_, &QProcess::readyReadStandardOutput, this, &SpeakerListing::readLines);
    connect(process_, &QProcess::readyReadStandardError, this, [this] { errors_->add(process_->readAllStandardError()); });
    connect(process_, &QProcess::finished, this, [this] {
        readLines();
        errors_->add(process_->readAllStandardError());
        errors_->finish();
        emit finished();
    });
    connect(process_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) emit finished();
    });
    process_->start(command.python, {QStringLiteral("-s"), QStringLiteral("-B"), QStringLiteral("-u"), command.script,
                                     QStringLiteral("--list-speakers"), QStringLiteral("--seconds"),
                                     QString::number(seconds)});
}

void SpeakerListing::readLines() {
    while (process_->canReadLine()) {
        // The pieces of an over-long line are not JSON objects and fall through.
        const QByteArray line = process_->readLine(lineLimit);
        if (auto speaker = parseListedSpeaker(line.trimmed())) emit found(*speaker);
    }
}

}  // namespace sonvale
