// The about window: product, maker and facts about this machine.
#pragma once

#include <QDialog>
#include <QLocale>
#include <QPointer>
#include <array>
#include <cstdint>

class QLabel;
class QPushButton;

namespace tdb::platform {
struct TOsVersion;
struct TProcessorKind;
}  // namespace tdb::platform

namespace zenkalo {

// The system-information tool the "MS Info" button starts, where the desktop keeps it.
inline const QString kSystemInfoTool = QStringLiteral("/usr/bin/hardinfo");

// The value labels' texts.
QString osText(const tdb::platform::TOsVersion& version);
QString processorText(const tdb::platform::TProcessorKind& kind);
QString speedText(double megahertz, const QLocale& locale);
QString physicalMemoryText(std::uint64_t bytes, const QLocale& locale);
QString memoryLoadText(unsigned percent);
// Counter ticks per microsecond over half a second, measured at raised priority.
double measureProcessorSpeed();

class TForm7 : public QDialog {
    Q_OBJECT

public:
    explicit TForm7(QWidget* parent = nullptr);

    void attachPictureWindow(QDialog* form8) { form8_ = form8; }
    QLabel& valueLabel(int i) const { return *values_[static_cast<std::size_t>(i)]; }

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    void BitBtn2Click();
    void Label7Click();
    void Label18Click();
    void Label3DblClick();
    void BitBtn1Click();

private:
    void FormShow();

    QPointer<QDialog> form8_;
    std::array<QLabel*, 5> values_{};
    QLabel* Label3 = nullptr;
    QLabel* Label7 = nullptr;
    QLabel* Label18 = nullptr;
    QPushButton* BitBtn1 = nullptr;
    QPushButton* BitBtn2 = nullptr;
};

}  // namespace zenkalo
