#include "PathCompleter.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QFileSystemModel>
#include <QKeyEvent>
#include <QLineEdit>

namespace morvane {

namespace {

// The folder part of a typed path, with its closing slash: "/a/b/" for "/a/b/c".
QString folderOf(const QString &typed)
{
    const qsizetype slash = typed.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : typed.left(slash + 1);
}

} // namespace

PathCompleter::PathCompleter(QLineEdit *box) : QCompleter(box)
{
    setCaseSensitivity(Qt::CaseSensitive);
    box->setCompleter(this);

    // The completer looks only at what the model holds so far: ask for the
    // typed folder, and offer its names once they have been read, even when
    // the whole path was pasted or typed faster than the folders loaded.
    connect(box, &QLineEdit::textEdited, this, [this, box](const QString &typed) {
        QFileSystemModel *model = files(box);
        const QString folder = folderOf(typed);
        if (!folder.isEmpty())
            model->index(folder);
    });
}

// The model reads folders on threads of its own, so a slow or large folder
// never holds up typing. It is made at the first key the user types, so that
// starting the program does not wait for those threads.
QFileSystemModel *PathCompleter::files(QLineEdit *box)
{
    if (m_files)
        return m_files;
    m_files = new QFileSystemModel(this);
    m_files->setRootPath(QString());
    m_files->setFilter(QDir::AllDirs | QDir::Files | QDir::NoDotAndDotDot | QDir::Hidden);
    setModel(m_files);
    connect(m_files, &QFileSystemModel::directoryLoaded, box, [this, box](const QString &folder) {
        const QString loaded = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
        if (box->hasFocus() && folderOf(box->text()) == loaded) {
            setCompletionPrefix(box->text());
            complete();
        }
    });
    return m_files;
}

bool PathCompleter::eventFilter(QObject *watched, QEvent *event)
{
    // Only the list's keys; asking popup() for the box's keys would make it.
    const auto *list = qobject_cast<QAbstractItemView *>(watched);
    if (list && event->type() == QEvent::KeyPress && list == popup() && widget()) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if ((key == Qt::Key_Return || key == Qt::Key_Enter) && !popup()->currentIndex().isValid()) {
            popup()->hide();
            // Through the application, so that the key travels on from the
            // box to its dialog as any key the box does not use.
            QApplication::sendEvent(widget(), event);
            return true;
        }
    }
    return QCompleter::eventFilter(watched, event);
}

} // namespace morvane
