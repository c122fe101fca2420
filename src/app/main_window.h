// The main window: the picture, the product title, the menu that reaches every
// other window, the status line with hints, and the confirmed end of the program.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QSize>
#include <QString>
#include <memory>

#include "app/uu_encoder.h"

class QCloseEvent;
class QShowEvent;

namespace dataset {
class TComponent;
class TDataSource;
class TTdbDatabase;
class TTdbTable;
}  // namespace dataset

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

    // The program's only database, table and data source; every other window binds to them.
    dataset::TTdbDatabase& TdbDatabase1() const { return *tdbDatabase1_; }
    dataset::TTdbTable& Table1() const { return *table1_; }
    dataset::TDataSource& DataSource1() const { return *dataSource1_; }

    // The windows the menu opens. They are created after this one and must
    // not outlive it; an unattached entry simply opens nothing.
    void attachWindows(TForm2* form2, TForm5* form5, TForm6* form6, TForm7* form7);

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

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
    void FormShow();
    void Table1BeforeDelete();
    void createComponents();
    void buildClientArea();
    void buildMenu();
    bool confirmExit();

    QString databaseLocation_;
    // The components' owner stands for this window among them; declared first, freed last.
    std::unique_ptr<dataset::TComponent> components_;
    std::unique_ptr<dataset::TTdbDatabase> tdbDatabase1_;
    std::unique_ptr<dataset::TTdbTable> table1_;
    std::unique_ptr<dataset::TDataSource> dataSource1_;
    bool shown_ = false;
    // The encoder of the update hand-off: the grave accent fills.
    TUUEncoder UUE_{'`'};
    QPointer<TForm2> form2_;
    QPointer<TForm5> form5_;
    QPointer<TForm6> form6_;
    QPointer<TForm7> form7_;
};

}  // namespace zenkalo
