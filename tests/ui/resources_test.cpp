#include <QFile>
#include <QImage>
#include <QtEndian>
#include <gtest/gtest.h>

#include <cmath>
#include <map>

// The generated resources in the build tree's share/sonvale/, as they are installed.
namespace {

QByteArray readResource(const char* name) {
    QFile file(QStringLiteral(SONVALE_RESOURCE_BUILD_DIR "/") + QString::fromLatin1(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::uint32_t bigEndian32(const QByteArray& data, qsizetype at) {
    return qFromBigEndian<quint32>(data.constData() + at);
}

TEST(GeneratedResources, AppIconIsAnIcnsOfPngImages) {
    const QByteArray icns = readResource("AppIcon.icns");
    ASSERT_GE(icns.size(), 8);
    EXPECT_EQ(icns.left(4), QByteArray("icns"));
    EXPECT_EQ(bigEndian32(icns, 4), std::uint32_t(icns.size()));

    const std::map<QByteArray, int> expectedSizes = {
        {"icp4", 16}, {"icp5", 32}, {"icp6", 64},   {"ic07", 128}, {"ic08", 256}, {"ic09", 512},
        {"ic10", 1024}, {"ic11", 32}, {"ic12", 64}, {"ic13", 256}, {"ic14", 512}};
    std::map<QByteArray, int> found;
    for (qsizetype at = 8; at < icns.size();) {
        ASSERT_LE(at + 8, icns.size());
        const QByteArray type = icns.mid(at, 4);
        const std::uint32_t length = bigEndian32(icns, at + 4);
        ASSERT_GE(length, 8u);
        ASSERT_LE(at + qsizetype(length), icns.size());
        const QByteArray data = icns.mid(at + 8, length - 8);
        EXPECT_TRUE(data.startsWith("\x89PNG\r\n\x1a\n")) << type.constData();
        const QImage image = QImage::fromData(data, "PNG");
        ASSERT_FALSE(image.isNull()) << type.constData();
        EXPECT_EQ(image.width(), image.height());
        // Not blank: the art covers the middle of the square.
        EXPECT_GT(qAlpha(image.pixel(image.width() / 2, image.height() / 2)), 200);
        found[type] = image.width();
        at += length;
    }
    EXPECT_EQ(found, expectedSizes);
}

TEST(GeneratedResources, TestSoundIsAShortCleanStereoChime) {
    const QByteArray wav = readResource("system-test.wav");
    ASSERT_GE(wav.size(), 44);
    EXPECT_EQ(wav.left(4), QByteArray("RIFF"));
    EXPECT_EQ(wav.mid(8, 8), QByteArray("WAVEfmt "));
    const auto le16 = [&](qsizetype at) { return qFromLittleEndian<quint16>(wav.constData() + at); };
    const auto le32 = [&](qsizetype at) { return qFromLittleEndian<quint32>(wav.constData() + at); };
    EXPECT_EQ(le16(20), 1);  // integer PCM
    EXPECT_EQ(le16(22), 2);
    EXPECT_EQ(le32(24), 44100u);
    EXPECT_EQ(le16(34), 16);
    ASSERT_EQ(wav.mid(36, 4), QByteArray("data"));
    const std::uint32_t bytes = le32(40);
    ASSERT_EQ(qsizetype(bytes) + 44, wav.size());

    const auto* samples = reinterpret_cast<const qint16*>(wav.constData() + 44);
    const std::size_t count = bytes / 2;
    const double seconds = double(count) / 2 / 44100;
    EXPECT_GE(seconds, 0.3);
    EXPECT_LE(seconds, 3.0);
    int peak = 0;
    for (std::size_t i = 0; i < count; ++i) peak = std::max(peak, std::abs(int(qFromLittleEndian(samples[i]))));
    EXPECT_GT(peak, 8000);   // audible
    EXPECT_LT(peak, 32000);  // never clipped
    // Starts and ends at rest, so the player makes no click.
    for (std::size_t i : {std::size_t(0), std::size_t(1), count - 2, count - 1})
        EXPECT_LT(std::abs(int(qFromLittleEndian(samples[i]))), 200) << i;
}

}  // namespace
