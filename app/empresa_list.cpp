#include "app/empresa_list.hpp"

#include <QEvent>
#include <QLineEdit>
#include <QListView>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>

namespace kqz::app {

QString AsciiLower(const QString& text) {
    QString out = text;
    for (QChar& c : out) {
        if (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) {
            c = QChar(c.unicode() + ('a' - 'A'));
        }
    }
    return out;
}

const std::vector<ObjetoDoItem>& ObjetosDoItem() {
    static const std::vector<ObjetoDoItem> objetos = {
        {"Text3", QRect(0, 0, 90, 20), Qt::AlignRight | Qt::AlignVCenter, QColor()},
        {"Text4", QRect(0, 19, 90, 19), Qt::AlignRight | Qt::AlignVCenter, QColor()},
        {"Text1", QRect(96, 0, 391, 19), Qt::AlignLeft | Qt::AlignVCenter, QColor(0x00, 0x00, 0xFF)},
        {"Text2", QRect(96, 19, 151, 20), Qt::AlignLeft | Qt::AlignVCenter, QColor(0x6A, 0x5A, 0xCD)},
        {"Text6", QRect(247, 19, 168, 21), Qt::AlignCenter, QColor(0xFF, 0x63, 0x47)},
        {"Text7", QRect(422, 16, 97, 25), Qt::AlignCenter, QColor()},
    };
    return objetos;
}

QRect RetanguloDoBotao(const QRect& item) {
    return QRect(item.right() + 1 - kLarguraDoBotao, item.top(), kLarguraDoBotao, item.height());
}

QString ObjetoEm(QPoint pos, int width) {
    if (RetanguloDoBotao(QRect(0, 0, width, kAlturaDoItem)).contains(pos)) {
        return QStringLiteral("TextButton5");
    }
    // Later objects are drawn over earlier ones: search from the top.
    const auto& objetos = ObjetosDoItem();
    for (auto it = objetos.rbegin(); it != objetos.rend(); ++it) {
        if (it->rect.contains(pos)) {
            return QString::fromLatin1(it->name);
        }
    }
    return {};
}

int EmpresaListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(items_.size());
}

QVariant EmpresaListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    const EmpresaItem& item = Item(index.row());
    switch (role) {
        case Qt::DisplayRole:
        case Text1Role:
            return item.Text1;
        case Text2Role:
            return item.Text2;
        case Text3Role:
            return item.Text3;
        case Text4Role:
            return item.Text4;
        case Text6Role:
            return item.Text6;
        case Text7Role:
            return item.Text7;
        default:
            return {};
    }
}

void EmpresaListModel::Clear() {
    beginResetModel();
    items_.clear();
    endResetModel();
}

int EmpresaListModel::ItemAdd() {
    const int row = rowCount();
    beginInsertRows({}, row, row);
    items_.emplace_back();
    endInsertRows();
    return row;
}

void EmpresaListModel::Changed(int index) {
    const QModelIndex i = this->index(index);
    emit dataChanged(i, i);
}

void EmpresaFilterModel::SetSearchText(const QString& text) {
    search_ = AsciiLower(text.trimmed());
    invalidateFilter();
}

bool EmpresaFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex&) const {
    if (search_.isEmpty()) {
        return true;
    }
    const auto& model = static_cast<const EmpresaListModel&>(*sourceModel());
    const EmpresaItem& item = model.Item(sourceRow);
    for (const QString* text :
         {&item.Text1, &item.Text2, &item.Text3, &item.Text4, &item.Text6, &item.Text7}) {
        if (AsciiLower(*text).contains(search_)) {
            return true;
        }
    }
    return false;
}

void EmpresaDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
    painter->save();
    const QRect item = option.rect;
    painter->setClipRect(item);
    painter->fillRect(item, option.palette.base());
    painter->setPen(option.palette.mid().color());
    painter->drawLine(item.bottomLeft(), item.bottomRight());

    static const int roles[] = {EmpresaListModel::Text3Role, EmpresaListModel::Text4Role,
                                EmpresaListModel::Text1Role, EmpresaListModel::Text2Role,
                                EmpresaListModel::Text6Role, EmpresaListModel::Text7Role};
    const auto& objetos = ObjetosDoItem();
    for (std::size_t i = 0; i < objetos.size(); ++i) {
        const ObjetoDoItem& objeto = objetos[i];
        painter->setPen(objeto.color.isValid() ? objeto.color : option.palette.text().color());
        painter->drawText(objeto.rect.translated(item.topLeft()), static_cast<int>(objeto.alignment),
                          index.data(roles[i]).toString());
    }

    // The Download text button at the item's trailing edge.
    const QRect botao = RetanguloDoBotao(item).adjusted(2, 4, -2, -4);
    painter->setPen(option.palette.mid().color());
    painter->setBrush(option.palette.button());
    painter->drawRoundedRect(botao, 3, 3);
    painter->setPen(option.palette.link().color());
    painter->drawText(botao, Qt::AlignCenter | Qt::TextWordWrap, QStringLiteral("Download"));
    painter->restore();
}

QSize EmpresaDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    return QSize(option.rect.width(), kAlturaDoItem);
}

TListViewEmpresa::TListViewEmpresa(QWidget* parent) : QWidget(parent), filter_(this), delegate_(this) {
    setObjectName("ListView_empresa");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);

    search_ = new QLineEdit(this);
    search_->setObjectName("ListView_empresa_Search");
    search_->setPlaceholderText(QStringLiteral("Pesquisar"));
    search_->setClearButtonEnabled(true);
    layout->addWidget(search_);

    view_ = new QListView(this);
    filter_.setSourceModel(&model_);
    view_->setModel(&filter_);
    view_->setItemDelegate(&delegate_);
    view_->setUniformItemSizes(true);
    view_->setSelectionMode(QAbstractItemView::SingleSelection);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    layout->addWidget(view_);

    connect(search_, &QLineEdit::textChanged, &filter_, &EmpresaFilterModel::SetSearchText);
    view_->viewport()->installEventFilter(this);
}

int TListViewEmpresa::Selected() const {
    const QModelIndex current = view_->currentIndex();
    return current.isValid() ? filter_.mapToSource(current).row() : -1;
}

void TListViewEmpresa::Select(int index) {
    if (index < 0 || index >= model_.rowCount()) {
        view_->clearSelection();
        view_->setCurrentIndex({});
        return;
    }
    const QModelIndex proxy = filter_.mapFromSource(model_.index(index));
    view_->setCurrentIndex(proxy);
    view_->scrollTo(proxy);
}

int TListViewEmpresa::VisibleCount() const {
    return filter_.rowCount();
}

void TListViewEmpresa::Click(int index, const QString& objectName) {
    Select(index);
    emit ItemClickEx(index, objectName);
}

bool TListViewEmpresa::eventFilter(QObject* watched, QEvent* event) {
    if (watched == view_->viewport() && event->type() == QEvent::MouseButtonRelease) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        const QPoint pos = mouse->position().toPoint();
        const QModelIndex proxyIndex = view_->indexAt(pos);
        if (mouse->button() == Qt::LeftButton && proxyIndex.isValid()) {
            const QRect rect = view_->visualRect(proxyIndex);
            Click(filter_.mapToSource(proxyIndex).row(), ObjetoEm(pos - rect.topLeft(), rect.width()));
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace kqz::app
