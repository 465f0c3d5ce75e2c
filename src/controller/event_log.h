#pragma once

#include <QString>

namespace sonvale {

// The application log: one line per entry, an ISO 8601 UTC timestamp, a blank and the
// text. Once the file is past 1,000,000 bytes the next line replaces it, so it starts
// again from one line. Writing never fails loudly.
class EventLog {
public:
    explicit EventLog(QString path) : path_(std::move(path)) {}
    void write(const QString& text) const;
    const QString& path() const { return path_; }

private:
    QString path_;
};

}  // namespace sonvale
