// The hand-off to the updater: the information file telling it which product and version are
// installed, where to look on the update server and what to start afterwards.
#pragma once

#include <QString>
#include <QStringList>

namespace zenkalo {

class TUUEncoder;

inline const QString kUpdateInfoFile = QStringLiteral("update.nfo");
inline const QString kUpdaterProgram = QStringLiteral("Update.exe");

// The twelve field lines, before encoding.
QStringList updateInfoLines();

// One field line as the updater reads it: one byte per character ("?" for a character beyond
// 255), uuencoded.
std::string encodeUpdateInfoLine(const QString& line, const TUUEncoder& encoder);

// Writes the information file at Path (created or replaced), each line ended by CR LF. Raises
// std::runtime_error naming the file when it cannot be written.
void writeUpdateInfo(const QString& path, const TUUEncoder& encoder);

}  // namespace zenkalo
