// The application's default error display for failures no handler caught.
#include <QCoreApplication>
#include <QEvent>
#include <QTest>
#include <stdexcept>

#include "box_answerer.h"
#include "suites.h"

namespace zenkalo::test {
namespace {

// Fails the way a window handler fails when the table cannot be opened.
class FailingObject : public QObject {
public:
    int handled = 0;

protected:
    bool event(QEvent* event) override {
        if (event->type() == QEvent::User) {
            ++handled;
            throw std::runtime_error("Opening table \"Irsz\": file not found");
        }
        return QObject::event(event);
    }
};

class ApplicationTest : public QObject {
    Q_OBJECT

private slots:
    void escapingFailureIsShownAndProgramGoesOn() {
        FailingObject failing;
        BoxAnswerer answerer(QStringLiteral("OK"));
        QEvent first(QEvent::User);
        QCOMPARE(QCoreApplication::sendEvent(&failing, &first), false);
        QVERIFY(answerer.seen().shown);
        QCOMPARE(answerer.seen().text, QStringLiteral("Opening table \"Irsz\": file not found"));
        QCOMPARE(answerer.seen().caption, QStringLiteral("Zenkalo"));
        QCOMPARE(answerer.seen().icon, QMessageBox::Critical);

        // The same object keeps receiving events afterwards.
        BoxAnswerer again(QStringLiteral("OK"));
        QEvent second(QEvent::User);
        QCoreApplication::sendEvent(&failing, &second);
        QCOMPARE(failing.handled, 2);
        QVERIFY(again.seen().shown);
    }
};

}  // namespace

std::unique_ptr<QObject> makeApplicationTest() {
    return std::make_unique<ApplicationTest>();
}

}  // namespace zenkalo::test

#include "application_test.moc"
