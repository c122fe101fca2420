// The about window: the value labels' formats, the facts it shows, its links and the picture
// window.
#include "app/about_window.h"

#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "app/picture_window.h"
#include "app/shell.h"
#include "platform/system_info.h"
#include "suites.h"

namespace zenkalo::test {
namespace {

class AboutWindowTest : public QObject {
    Q_OBJECT

private slots:
    void theValuesKeepTheirFormats() {
        const QLocale comma(QLocale::English, QLocale::UnitedStates);
        QCOMPARE(physicalMemoryText(2ULL << 30, comma), QStringLiteral("2,097,152 KB"));
        QCOMPARE(physicalMemoryText(1023, comma), QStringLiteral(" KB"));
        QCOMPARE(speedText(2394.5678, comma), QStringLiteral("2394.57 MHz"));
        QCOMPARE(speedText(2394.5678, QLocale(QLocale::Hungarian)), QStringLiteral("2394,57 MHz"));
        QCOMPARE(memoryLoadText(37), QStringLiteral("37 %"));
        QCOMPARE(osText({"Linux", 6, 1, 76}), QStringLiteral("Linux  (6.1.76)"));
        QCOMPARE(processorText({6, 0xA701}), QStringLiteral("6  Rev. 42753"));
    }

    void showingTheWindowFillsTheFacts() {
        TForm7 form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QVERIFY(form.valueLabel(0).text().startsWith(
            QString::fromStdString(tdb::platform::GetOsVersion().Platform) +
            QStringLiteral("  (")));
        QVERIFY(form.valueLabel(1).text().contains(QStringLiteral("  Rev. ")));
        const QString speed = form.valueLabel(2).text();
        QVERIFY2(speed.endsWith(QStringLiteral(" MHz")), qPrintable(speed));
        bool number = false;
        QVERIFY(QLocale().toDouble(speed.chopped(4), &number) > 0 && number);
        QVERIFY(form.valueLabel(3).text().endsWith(QStringLiteral(" KB")));
        QVERIFY(form.valueLabel(4).text().endsWith(QStringLiteral(" %")));
        auto* info = form.findChild<QPushButton*>(QStringLiteral("BitBtn2"));
        QCOMPARE(info->isEnabled(), QFileInfo::exists(kSystemInfoTool));
    }

    void theLinksGoThroughTheDesktopAndTheAuthorLineShowsThePicture() {
        const TShell saved = shell();
        QList<QUrl> opened;
        shell().openUrl = [&](const QUrl& address) {
            opened << address;
            return true;
        };
        TForm7 form;
        TForm8 picture;
        form.attachPictureWindow(&picture);
        QTest::mouseClick(form.findChild<QLabel*>(QStringLiteral("Label7")), Qt::LeftButton);
        QTest::mouseClick(form.findChild<QLabel*>(QStringLiteral("Label18")), Qt::LeftButton);
        shell() = saved;
        QCOMPARE(opened.size(), 2);
        QCOMPARE(opened[0].scheme(), QStringLiteral("mailto"));
        QVERIFY(opened[1].scheme().startsWith(QStringLiteral("http")));

        bool shown = false;
        QTimer::singleShot(0, &form, [&] {
            shown = QApplication::activeModalWidget() == &picture;
            QTest::mouseClick(picture.findChild<QLabel*>(QStringLiteral("Image1")), Qt::LeftButton);
        });
        QTest::mouseDClick(form.findChild<QLabel*>(QStringLiteral("Label3")), Qt::LeftButton);
        QVERIFY(shown);
        QVERIFY(!picture.isVisible());
    }
};

}  // namespace

std::unique_ptr<QObject> makeAboutWindowTest() {
    return std::make_unique<AboutWindowTest>();
}

}  // namespace zenkalo::test

#include "about_window_test.moc"
