// The about window: product, maker and facts about this machine.
#include "app/about_window.h"

#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QStyle>
#include <QUrl>

#include "app/hint.h"
#include "app/shell.h"
#include "app/window_setup.h"
#include "platform/clock.h"
#include "platform/system_info.h"

namespace zenkalo {

namespace {

// The maker's lines: whoever ships the program puts its own here.
const QString kAuthor = QStringLiteral("Zenkalo fejlesztői");
const QString kAddress = QStringLiteral("Magyarország");
const QString kTelephone = QStringLiteral("Tel.: -");
const QString kMobile = QStringLiteral("Mobil: -");
const QString kMail = QStringLiteral("zenkalo@example.org");
const QString kWeb = QStringLiteral("https://www.example.org");

QLabel* label(QWidget* parent, const char* name, const QString& text, const QRect& geometry,
              const QColor& colour, Qt::Alignment alignment = Qt::AlignCenter) {
    auto* made = new QLabel(text, parent);
    if (name != nullptr)
        made->setObjectName(QLatin1String(name));
    made->setGeometry(geometry);
    made->setAlignment(alignment);
    QPalette palette = made->palette();
    palette.setColor(QPalette::WindowText, colour);
    made->setPalette(palette);
    return made;
}

void bold(QWidget& widget, const QString& family = {}, int pixels = 0) {
    QFont font = widget.font();
    if (!family.isEmpty())
        font.setFamily(family);
    if (pixels > 0)
        font.setPixelSize(pixels);
    font.setBold(true);
    widget.setFont(font);
}

void link(QLabel& label, const QString& hint) {
    QFont font = label.font();
    font.setUnderline(true);
    label.setFont(font);
    label.setCursor(Qt::PointingHandCursor);
    applyHint(label, hint);
}

void measure(void* ticks) {
    auto& [first, second] = *static_cast<std::pair<std::uint64_t, std::uint64_t>*>(ticks);
    tdb::platform::Sleep(10);
    first = tdb::platform::ReadTimeStampCounter();
    tdb::platform::Sleep(500);
    second = tdb::platform::ReadTimeStampCounter();
}

}  // namespace

QString osText(const tdb::platform::TOsVersion& version) {
    return QStringLiteral("%1  (%2.%3.%4)")
        .arg(QString::fromStdString(version.Platform))
        .arg(version.Major)
        .arg(version.Minor)
        .arg(version.Build);
}

QString processorText(const tdb::platform::TProcessorKind& kind) {
    return QStringLiteral("%1  Rev. %2").arg(kind.Type).arg(kind.Revision);
}

QString speedText(double megahertz, const QLocale& locale) {
    // The locale's decimal separator, but no grouping of the digits.
    QLocale plain = locale;
    plain.setNumberOptions(plain.numberOptions() | QLocale::OmitGroupSeparator);
    return plain.toString(megahertz, 'f', 2) + QStringLiteral(" MHz");
}

QString physicalMemoryText(std::uint64_t bytes, const QLocale& locale) {
    // Grouped digits without decimals; no digit at all for nothing, as the pattern has it.
    const std::uint64_t kilobytes = bytes / 1024;
    const QString digits = kilobytes == 0 ? QString() : locale.toString(qulonglong{kilobytes});
    return digits + QStringLiteral(" KB");
}

QString memoryLoadText(unsigned percent) {
    return QStringLiteral("%1 %").arg(percent);
}

double measureProcessorSpeed() {
    std::pair<std::uint64_t, std::uint64_t> ticks{};
    tdb::platform::WithRaisedPriority(measure, &ticks);
    // The low 32 bits of the difference, as the counter's ticks in half a second.
    const auto elapsed = static_cast<std::uint32_t>(ticks.second - ticks.first);
    return static_cast<double>(elapsed) / 500000.0;
}

TForm7::TForm7(QWidget* parent) : QDialog(parent) {
    setUpFixedWindow(*this, QStringLiteral("Form7"), QStringLiteral(" Névjegy:"), QSize(296, 388),
                     TitleBarButtons::SystemMenuOnly);
    const QColor navy(0, 0, 0x80);
    const QColor purple(0x80, 0, 0x80);

    auto* upper = new QFrame(this);
    upper->setGeometry(8, 8, 281, 177);
    upper->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    auto* icon = new QLabel(upper);
    icon->setObjectName(QStringLiteral("Image1"));
    icon->setGeometry(8, 8, 35, 33);
    icon->setPixmap(style()->standardIcon(QStyle::SP_ComputerIcon).pixmap(32, 32));
    bold(*label(upper, "Label1", QStringLiteral("Zenkalo"), QRect(56, 8, 212, 25), Qt::blue),
         QStringLiteral("Arial"), 19);
    bold(*label(upper, "Label2", QStringLiteral("V2.0.0.0"), QRect(56, 32, 212, 13), Qt::blue));
    Label3 = label(upper, "Label3", kAuthor, QRect(56, 56, 169, 17), purple);
    bold(*Label3, QStringLiteral("Times New Roman"), 16);
    Label3->installEventFilter(this);
    label(upper, "Label4", kAddress, QRect(16, 88, 251, 13), navy);
    label(upper, "Label5", kTelephone, QRect(16, 104, 251, 13), navy);
    label(upper, "Label6", kMobile, QRect(16, 120, 251, 13), navy);
    Label7 = label(upper, "Label7", kMail, QRect(72, 136, 137, 13), navy);
    link(*Label7, QStringLiteral("E-mail küldése|E-mail küldése a szerzőnek !"));
    Label7->installEventFilter(this);
    Label18 = label(upper, "Label18", QUrl(kWeb).host(), QRect(88, 152, 105, 13), navy);
    link(*Label18, QStringLiteral("Cím behívása|Cím behívása böngésző programba !"));
    Label18->installEventFilter(this);

    auto* facts = new QFrame(this);
    facts->setGeometry(8, 256, 281, 93);
    facts->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    const QStringList captions = {
        QStringLiteral("Operációs rendszer:"), QStringLiteral("Processzor típusa:"),
        QStringLiteral("Processzor sebessége:"), QStringLiteral("Fizikai memória:"),
        QStringLiteral("Memória használatban:")};
    for (int i = 0; i < 5; ++i) {
        const int y = 8 + 16 * i;
        label(facts, nullptr, captions[i], QRect(8, y, 120, 13), Qt::black,
              Qt::AlignLeft | Qt::AlignVCenter);
        values_[static_cast<std::size_t>(i)] =
            label(facts, nullptr, QString(), QRect(128, y, 145, 13), Qt::black,
                  Qt::AlignRight | Qt::AlignVCenter);
    }

    BitBtn2 = new QPushButton(QStringLiteral("MS Info"), this);
    BitBtn2->setObjectName(QStringLiteral("BitBtn2"));
    BitBtn2->setGeometry(8, 356, 100, 25);
    BitBtn2->setIcon(style()->standardIcon(QStyle::SP_MessageBoxInformation));
    applyHint(*BitBtn2, QStringLiteral("Rendszerinformáció megjelenítése !"));
    BitBtn1 = new QPushButton(QStringLiteral("Befejezés"), this);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setGeometry(188, 356, 100, 25);
    BitBtn1->setIcon(style()->standardIcon(QStyle::SP_DialogCloseButton));
    applyHint(*BitBtn1, QStringLiteral("Befejezés !"));
    connect(BitBtn1, &QPushButton::clicked, this, &TForm7::BitBtn1Click);
    connect(BitBtn2, &QPushButton::clicked, this, &TForm7::BitBtn2Click);
}

void TForm7::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    FormShow();
}

void TForm7::FormShow() {
    const QLocale locale;
    const tdb::platform::TMemoryStatus memory = tdb::platform::GetMemoryStatus();
    values_[0]->setText(osText(tdb::platform::GetOsVersion()));
    values_[1]->setText(processorText(tdb::platform::GetProcessorKind()));
    values_[2]->setText(speedText(measureProcessorSpeed(), locale));
    values_[3]->setText(physicalMemoryText(memory.TotalPhysical, locale));
    values_[4]->setText(memoryLoadText(memory.Load));
    BitBtn2->setEnabled(QFileInfo::exists(kSystemInfoTool));
}

bool TForm7::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        if (watched == Label7)
            Label7Click();
        else if (watched == Label18)
            Label18Click();
    } else if (event->type() == QEvent::MouseButtonDblClick && watched == Label3) {
        Label3DblClick();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void TForm7::BitBtn2Click() {
    shell().startProgram(kSystemInfoTool, {});
}

void TForm7::Label7Click() {
    shell().openUrl(QUrl(QStringLiteral("mailto:") + kMail));
}

void TForm7::Label18Click() {
    shell().openUrl(QUrl(kWeb));
}

void TForm7::Label3DblClick() {
    if (form8_ != nullptr)
        form8_->exec();
}

void TForm7::BitBtn1Click() {
    close();
}

}  // namespace zenkalo
