// The information file of the update hand-off.
#include "app/update_handoff.h"

#include <QFile>
#include <stdexcept>
#include <string>

#include "app/uu_encoder.h"

namespace zenkalo {

namespace {

// The edition the updater is to look for.
const QString kEditionTag = QStringLiteral("Linux");

QString fieldLine(const char* label, const QString& value) {
    return QStringLiteral("%1: %2").arg(QLatin1String(label), -16).arg(value);
}

[[noreturn]] void failWriting(const QString& path, const QFile& file) {
    throw std::runtime_error(
        QStringLiteral("%1 cannot be written: %2").arg(path, file.errorString()).toStdString());
}

}  // namespace

QStringList updateInfoLines() {
    const QString nil = QStringLiteral("Nil");
    return {
        fieldLine("PROGRAM NAME", QStringLiteral("Zenkalo")),
        fieldLine("PROGRAM VERSION", QStringLiteral("2.0.0.0")),
        fieldLine("PROGRAM TYPE", kEditionTag),
        fieldLine("SERVER DIR", QStringLiteral("anon_ftp/updatesb")),
        fieldLine("SERVER INF FILE", QStringLiteral("736ipo-vomtard.cfg")),
        fieldLine("AFTER RUN", QStringLiteral("Vomtar.exe")),
        fieldLine("PROXY USING", QStringLiteral("0")),
        fieldLine("PROXY HOST", nil),
        fieldLine("PROXY USER", nil),
        fieldLine("PROXY PASSWORD", nil),
        fieldLine("PROXY PORT", nil),
        fieldLine("PROXY TYPE", nil),
    };
}

std::string encodeUpdateInfoLine(const QString& line, const TUUEncoder& encoder) {
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(line.size()));
    for (const QChar c : line)
        bytes.push_back(c.unicode() <= 255 ? static_cast<char>(c.unicode()) : '?');
    return encoder.encode(bytes);
}

void writeUpdateInfo(const QString& path, const TUUEncoder& encoder) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        failWriting(path, file);
    for (const QString& line : updateInfoLines()) {
        const std::string encoded = encodeUpdateInfoLine(line, encoder) + "\r\n";
        if (file.write(encoded.data(), static_cast<qint64>(encoded.size())) !=
            static_cast<qint64>(encoded.size()))
            failWriting(path, file);
    }
    if (!file.flush())
        failWriting(path, file);
    file.close();
    if (file.error() != QFileDevice::NoError)
        failWriting(path, file);
}

}  // namespace zenkalo
