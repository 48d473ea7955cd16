#include "console/ui/log_window.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextCursor>
#include <QVBoxLayout>

#include "common/strings.h"
#include "console/ui/console_texts.h"

namespace qv::console {

LogWindow::LogWindow(QWidget* parent)
    : QDialog(parent),
      text_(new QPlainTextEdit(this)),
      find_(new QLineEdit(this)),
      note_(new QLabel(this)) {
  setObjectName("LogWindow");
  setAttribute(Qt::WA_DeleteOnClose);
  text_->setObjectName("LogText");
  text_->setReadOnly(true);
  text_->setLineWrapMode(QPlainTextEdit::NoWrap);
  text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  // Read-only, but the cursor stays so that a search goes on from where the reader is.
  text_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  find_->setObjectName("LogFind");
  note_->setObjectName("LogNote");

  auto* next = new QPushButton(QString::fromLatin1(kLogFindNext), this);
  next->setObjectName("LogFindNext");
  auto* previous = new QPushButton(QString::fromLatin1(kLogFindPrevious), this);
  previous->setObjectName("LogFindPrevious");
  previous->setAutoDefault(false);
  // Enter in the find field finds the next place; it never closes the window.
  next->setDefault(true);
  connect(next, &QPushButton::clicked, this, [this] { FindNext(false); });
  connect(previous, &QPushButton::clicked, this, [this] { FindNext(true); });
  connect(find_, &QLineEdit::textEdited, note_, &QLabel::clear);

  auto* find_row = new QHBoxLayout;
  find_row->addWidget(new QLabel(QString::fromLatin1(kLogFindLabel), this));
  find_row->addWidget(find_, 1);
  find_row->addWidget(next);
  find_row->addWidget(previous);
  auto* buttons = new QDialogButtonBox(this);
  QPushButton* close =
      buttons->addButton(QString::fromLatin1(kLogClose), QDialogButtonBox::RejectRole);
  close->setAutoDefault(false);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* column = new QVBoxLayout(this);
  column->addWidget(text_, 1);
  column->addLayout(find_row);
  column->addWidget(note_);
  column->addWidget(buttons);
  resize(720, 520);
  find_->setFocus();
}

bool LogWindow::Open(const QString& path) {
  setWindowTitle(QString::fromStdString(
      Format(kLogWindowTitle, QFileInfo(path).fileName().toUtf8().constData())));
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return false;
  constexpr qint64 kMost = qint64{kLogWindowMaxMegabytes} * 1024 * 1024;
  const qint64 size = file.size();
  if (size > kMost) {
    file.seek(size - kMost);
    file.readLine();  // the first line is cut: start with the next whole one
    note_->setText(QString::fromStdString(Format(kLogCut, kLogWindowMaxMegabytes)));
  }
  const QByteArray bytes = file.read(kMost);
  if (bytes.isEmpty() && file.error() != QFileDevice::NoError) return false;
  text_->setPlainText(QString::fromUtf8(bytes));
  text_->moveCursor(QTextCursor::Start);
  return true;
}

bool LogWindow::FindNext(bool backward) {
  const QString wanted = find_->text();
  if (wanted.isEmpty()) return false;
  QTextDocument::FindFlags flags;
  if (backward) flags |= QTextDocument::FindBackward;
  if (text_->find(wanted, flags)) {
    note_->clear();
    return true;
  }
  // Round the end (or the start) once.
  const QTextCursor at = text_->textCursor();
  text_->moveCursor(backward ? QTextCursor::End : QTextCursor::Start);
  if (text_->find(wanted, flags)) {
    note_->clear();
    return true;
  }
  text_->setTextCursor(at);
  note_->setText(QString::fromStdString(Format(kLogNotFound, wanted.toUtf8().constData())));
  return false;
}

}  // namespace qv::console
