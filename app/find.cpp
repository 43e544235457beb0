// SPDX-License-Identifier: MIT
// "Find..." in the receive pane: a small window beside the main one that
// stays open while the operator goes from match to match.
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "errordisplay.h"
#include "linepane.h"
#include "serivox.h"
#include "ui_serivox.h"

void TSerivox::FindTriggered() {
  if (FindDialog == nullptr) {
    FindDialog = new QDialog(this);
    FindDialog->setObjectName(QStringLiteral("FindDialog"));
    FindDialog->setWindowTitle(QStringLiteral("Find"));
    auto* grid = new QGridLayout(FindDialog);
    auto* edit = new QLineEdit(FindDialog);
    edit->setObjectName(QStringLiteral("FindText"));
    auto* caption = new QLabel(QStringLiteral("Fi&nd:"), FindDialog);
    caption->setBuddy(edit);
    auto* matchCase = new QCheckBox(QStringLiteral("Match &case"), FindDialog);
    matchCase->setObjectName(QStringLiteral("FindMatchCase"));
    auto* status = new QLabel(FindDialog);
    status->setObjectName(QStringLiteral("FindStatus"));
    auto* buttons = new QDialogButtonBox(FindDialog);
    QPushButton* next = buttons->addButton(QStringLiteral("&Next"), QDialogButtonBox::ActionRole);
    next->setObjectName(QStringLiteral("FindNext"));
    next->setDefault(true);
    QPushButton* previous = buttons->addButton(QStringLiteral("&Previous"), QDialogButtonBox::ActionRole);
    previous->setObjectName(QStringLiteral("FindPrevious"));
    buttons->addButton(QDialogButtonBox::Close);
    grid->addWidget(caption, 0, 0);
    grid->addWidget(edit, 0, 1);
    grid->addWidget(matchCase, 1, 1);
    grid->addWidget(status, 2, 0, 1, 2);
    grid->addWidget(buttons, 3, 0, 1, 2);
    connect(next, &QPushButton::clicked, this, [this] { Guarded([&] { FindInPane(false); }); });
    connect(previous, &QPushButton::clicked, this, [this] { Guarded([&] { FindInPane(true); }); });
    connect(buttons, &QDialogButtonBox::rejected, FindDialog, &QDialog::hide);
  }
  FindDialog->show();
  FindDialog->raise();
  FindDialog->activateWindow();
  auto* edit = FindDialog->findChild<QLineEdit*>(QStringLiteral("FindText"));
  edit->selectAll();
  edit->setFocus();
}

bool TSerivox::FindInPane(bool backwards) {
  if (FindDialog == nullptr) return false;
  const QString text = FindDialog->findChild<QLineEdit*>(QStringLiteral("FindText"))->text();
  const bool matchCase = FindDialog->findChild<QCheckBox*>(QStringLiteral("FindMatchCase"))->isChecked();
  const bool found = ui->Memo1->Find(text, backwards, matchCase);
  FindDialog->findChild<QLabel*>(QStringLiteral("FindStatus"))
      ->setText(found || text.isEmpty() ? QString() : QStringLiteral("\"%1\" is not in the receive pane.").arg(text));
  return found;
}
