#include "ui/name_dialog.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/icons.h"
#include "ui/interface_font.h"

namespace sonvale {

std::optional<QString> askForTargetName(const QString& current) {
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
