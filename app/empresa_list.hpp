#pragma once

#include <QAbstractListModel>
#include <QSortFilterProxyModel>
#include <QStyledItemDelegate>
#include <QWidget>
#include <vector>

class QLineEdit;
class QListView;

namespace kqz::app {

// One company of the list: the texts of its item objects.
struct EmpresaItem {
    QString Text1;  // trade name
    QString Text2;  // CNPJ
    QString Text3;  // caption in front of the name
    QString Text4;  // caption in front of the CNPJ
    QString Text6;  // stored XMLs of the month, or empty
    QString Text7;  // hint
};

// The objects an item is drawn from, with their place inside the item.
struct ObjetoDoItem {
    const char* name;
    QRect rect;  // TextButton5's rect is computed from the item's width
    Qt::Alignment alignment;
    QColor color;  // invalid: the list's text colour
};

// Geometry shared by the painter and the hit test.
inline constexpr int kAlturaDoItem = 44;
inline constexpr int kLarguraDoBotao = 76;
const std::vector<ObjetoDoItem>& ObjetosDoItem();
QRect RetanguloDoBotao(const QRect& item);

// Name of the item object under `pos` (item coordinates, item of `width`), or
// an empty text when the point hits none. The button lies on top.
QString ObjetoEm(QPoint pos, int width);

// The items, in list order.
class EmpresaListModel : public QAbstractListModel {
    Q_OBJECT
  public:
    enum Role { Text1Role = Qt::UserRole + 1, Text2Role, Text3Role, Text4Role, Text6Role, Text7Role };

    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    void Clear();
    // Appends an empty item and returns its index.
    int ItemAdd();
    EmpresaItem& Item(int index) { return items_.at(static_cast<std::size_t>(index)); }
    const EmpresaItem& Item(int index) const { return items_.at(static_cast<std::size_t>(index)); }
    // Tells the views that item `index` changed.
    void Changed(int index);

  private:
    std::vector<EmpresaItem> items_;
};

// The search box's filter: the text is trimmed and lower-cased; an item stays
// when the text is empty or any of its texts, lower-cased, contains it.
// Lower-casing touches the ASCII letters only.
class EmpresaFilterModel : public QSortFilterProxyModel {
    Q_OBJECT
  public:
    using QSortFilterProxyModel::QSortFilterProxyModel;
    void SetSearchText(const QString& text);

  protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

  private:
    QString search_;
};

// Paints the item objects at their offsets; selection is not highlighted.
class EmpresaDelegate : public QStyledItemDelegate {
    Q_OBJECT
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

// `ListView_empresa`: a search box above the items. A click on an item selects
// it and then reports the name of the item object it hit.
class TListViewEmpresa : public QWidget {
    Q_OBJECT
  public:
    explicit TListViewEmpresa(QWidget* parent = nullptr);

    EmpresaListModel& Items() { return model_; }
    QLineEdit* SearchBox() const { return search_; }
    QListView* View() const { return view_; }

    // Index (in the model) of the selected item, or -1.
    int Selected() const;
    // Selects the item at model index `index` and scrolls to it; an index outside
    // the list clears the selection.
    void Select(int index);
    // Number of items the search leaves visible.
    int VisibleCount() const;

    // Presses the object `objectName` of the item at model index `index`, as a
    // mouse click on it would (used by tests and keyboard activation).
    void Click(int index, const QString& objectName);

  signals:
    // ItemObject's name ("TextButton5", "Text1", ...; empty outside any object).
    void ItemClickEx(int itemIndex, const QString& objectName);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    EmpresaListModel model_;
    EmpresaFilterModel filter_;
    EmpresaDelegate delegate_;
    QLineEdit* search_;
    QListView* view_;
};

// Lower-cases the ASCII letters A-Z only.
QString AsciiLower(const QString& text);

}  // namespace kqz::app
