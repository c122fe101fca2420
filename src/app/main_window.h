// The main window: the picture, the product title, the menu that reaches every
// other window, the status line with hints, and the confirmed end of the program.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QSize>
#include <QString>

class QCloseEvent;

namespace zenkalo {

class TForm2;
class TForm5;
class TForm6;
class TForm7;

class TForm1 : public QMainWindow {
    Q_OBJECT

public:
    // The client area holds the picture and the status line; the menu bar sits above it.
    static constexpr QSize kClientSize{537, 333};
    static constexpr int kStatusLineHeight = 19;

    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // The directory whose table files the program works on: the working
    // directory at the moment the window was created.
    const QString& databaseLocation() const { return databaseLocation_; }

    // The windows the menu opens. They are created after this one and must
    // not outlive it; an unattached entry simply opens nothing.
    void attachWindows(TForm2* form2, TForm5* form5, TForm6* form6, TForm7* form7);

protected:
    void closeEvent(QCloseEvent* event) override;

private slots:
    void Adatkarbantarts1Click();
    void Keress1Click();
    void Szrs1Click();
    void Lers1Click();
    void Keress3Click();
    void Nvjegy1Click();
    void Befejezs1Click();

private:
    void FormCreate();
    void buildClientArea();
    void buildMenu();
    bool confirmExit();

    QString databaseLocation_;
    QPointer<TForm2> form2_;
    QPointer<TForm5> form5_;
    QPointer<TForm6> form6_;
    QPointer<TForm7> form7_;
};

}  // namespace zenkalo
