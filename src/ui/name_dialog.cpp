#include "ui/name_dialog.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QCompleter>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QVBoxLayout>

#include "ui/icons.h"
#include "ui/interface_font.h"

namespace sonvale {
namespace {

// Several speakers are typed one after another, separated by "、", "," or "，".
const QRegularExpression separator(QStringLiteral("[、,，]"));

// The name being typed: what follows the last separator.
qsizetype lastNameStart(const QString& text) { return text.lastIndexOf(separator) + 1; }

// Completes only the name being typed and keeps those before it, so that a speaker picked
// from the list after a separator joins the ones already there. With one name in the field
// it completes the whole field, as a plain completer does.
class NamesCompleter : public QCompleter {
public:
    NamesCompleter(QAbstractItemModel* model, QLineEdit* field) : QCompleter(model, field), field_(field) {}

    QStringList splitPath(const QString& path) const override { return {path.mid(lastNameStart(path)).trimmed()}; }
    QString pathFromIndex(const QModelIndex& index) const override {
        const QString text = field_->text();
        return text.left(lastNameStart(text)) + index.data(completionRole()).toString();
    }

private:
    QLineEdit* field_;
};

void offerSpeakers(QLineEdit* field, QAbstractItemModel* speakers) {
    auto* completer = new NamesCompleter(speakers, field);
    completer->setCompletionRole(Qt::EditRole);
    completer->setCaseSensitivity(Qt::CaseInsensitive);
    completer->setFilterMode(Qt::MatchContains);
    field->setCompleter(completer);
    // Shown only once a speaker has been found, so an empty network changes nothing.
    auto* showAll = new QAction(field->style()->standardIcon(QStyle::SP_ArrowDown), QStringLiteral("附近的扬声器"), field);
    showAll->setObjectName(QStringLiteral("speakerListAction"));
    QObject::connect(showAll, &QAction::triggered, completer, [completer] {
        completer->setCompletionPrefix(QString());
        completer->complete();
    });
    const auto follow = [field, speakers, showAll] {
        const bool any = speakers->rowCount() > 0;
        if (any && !field->actions().contains(showAll)) field->addAction(showAll, QLineEdit::TrailingPosition);
        if (!any) field->removeAction(showAll);
    };
    QObject::connect(speakers, &QAbstractItemModel::modelReset, field, follow);
    QObject::connect(speakers, &QAbstractItemModel::rowsInserted, field, follow);
    QObject::connect(speakers, &QAbstractItemModel::rowsRemoved, field, follow);
    follow();
}

}  // namespace

std::optional<QString> askForTargetName(const QString& current, QAbstractItemModel* speakers) {
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Sonvale"));
    dialog.setWindowIcon(applicationIcon());
    dialog.setWindowModality(Qt::ApplicationModal);
    useInterfaceFont(dialog);

    auto* heading = new QLabel(QStringLiteral("设置 HomePod 名称"), &dialog);
    heading->setFont(interfaceFont(13, true));
    auto* informative = new QLabel(
        QStringLiteral("输入“家庭”App 中的 HomePod 名称，例如“卧室”。Mac 与 HomePod 需在同一局域网，且名称应唯一。"),
        &dialog);
    informative->setWordWrap(true);
    informative->setFixedWidth(330);

    auto* field = new QLineEdit(current, &dialog);
    field->setObjectName(QStringLiteral("targetNameField"));
    field->setPlaceholderText(QStringLiteral("例如：卧室"));
    field->setFixedSize(290, 25);
    field->setToolTip(QStringLiteral("同时发送到多个扬声器时，用“、”分隔名称，例如“卧室、客厅”"));
    if (speakers) offerSpeakers(field, speakers);

    auto* save = new QPushButton(QStringLiteral("保存"), &dialog);
    auto* cancel = new QPushButton(QStringLiteral("取消"), &dialog);
    save->setDefault(true);
    QObject::connect(save, &QPushButton::clicked, &dialog, &QDialog::accept);
    QObject::connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);

    auto* icon = new QLabel(&dialog);
    icon->setPixmap(applicationIcon().pixmap(56, 56));
    icon->setAlignment(Qt::AlignTop);

    auto* texts = new QVBoxLayout;
    texts->addWidget(heading);
    texts->addWidget(informative);
    texts->addSpacing(4);
    texts->addWidget(field);
    auto* body = new QHBoxLayout;
    body->addWidget(icon, 0, Qt::AlignTop);
    body->addSpacing(8);
    body->addLayout(texts);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(save);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addLayout(body);
    layout->addSpacing(6);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    field->setFocus();
    field->selectAll();
    dialog.show();
    dialog.raise();
    dialog.activateWindow();
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return field->text();
}

}  // namespace sonvale
