// The console's own log viewer: a read-only window showing a transaction log file as plain text,
// with a find field. It is the viewer of last resort, used when no viewer program can be found
// on the machine, so it needs nothing but the file.
#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QLineEdit;
class QPlainTextEdit;

namespace qv::console {

// The most of a log file the window reads: the end of a larger file.
inline constexpr int kLogWindowMaxMegabytes = 16;

class LogWindow : public QDialog {
  Q_OBJECT

 public:
  explicit LogWindow(QWidget* parent = nullptr);

  // Shows the file (its last kLogWindowMaxMegabytes when it is larger). False when it cannot
  // be read.
  bool Open(const QString& path);

  // Selects the next (or previous) place of the find field's text, from the cursor on and round
  // the end; says so below the text when there is none. True when found.
  bool FindNext(bool backward = false);

  QPlainTextEdit* text() const { return text_; }
  QLineEdit* find_field() const { return find_; }
  QLabel* note() const { return note_; }

 private:
  QPlainTextEdit* text_;
  QLineEdit* find_;
  QLabel* note_;
};

}  // namespace qv::console
