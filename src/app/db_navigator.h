// The record navigator: ten buttons that move through a dataset and drive its edits, each
// enabled only when its action makes sense in the dataset's state.
#pragma once

#include <QWidget>
#include <array>
#include <memory>

class QToolButton;

namespace dataset {
class TDataSet;
class TDataSource;
}  // namespace dataset

namespace zenkalo {

enum class TNavigateBtn {
    nbFirst,
    nbPrior,
    nbNext,
    nbLast,
    nbInsert,
    nbDelete,
    nbEdit,
    nbPost,
    nbCancel,
    nbRefresh,
};

class TDBNavigator : public QWidget {
    Q_OBJECT

public:
    explicit TDBNavigator(dataset::TDataSource& source, QWidget* parent = nullptr);
    ~TDBNavigator() override;

    QToolButton& button(TNavigateBtn which) const {
        return *buttons_[static_cast<std::size_t>(which)];
    }
    // Runs a button's action on the dataset, as a click does.
    void BtnClick(TNavigateBtn which);

private:
    class TLink;
    void act(dataset::TDataSet& set, TNavigateBtn which);
    void updateButtons();

    std::array<QToolButton*, 10> buttons_{};
    std::unique_ptr<TLink> link_;
};

}  // namespace zenkalo
