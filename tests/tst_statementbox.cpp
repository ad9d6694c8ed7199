// The statement boxes of the query window: editing by keyboard and mouse as
// in any text box, lines that wrap at the box's width, and pasted megabytes.
#include "StatementBox.h"
#include "TestSupport.h"
#include "WrappedLines.h"
#include "frmMain.h"

#include <QAccessible>
#include <QClipboard>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QtTest>

using namespace morvane;

class StatementBoxTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_folders = std::make_unique<test::IsolatedUserFolders>();
        m_app = std::make_unique<test::TestApp>();
        m_window = std::make_unique<frmMain>(m_app->context);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    }

    void editsByKeyboard()
    {
        StatementBox *box = m_window->txtSelect;
        box->setFocus();
        box->clear();
        QTest::keyClicks(box, QStringLiteral("select a, b from t"));
        QCOMPARE(box->toPlainText(), QStringLiteral("select a, b from t"));
        QCOMPARE(m_window->fields(), (QStringList{QStringLiteral("a"), QStringLiteral("b")}));

        // Ctrl+Backspace takes the word back; undo returns it, and then the
        // whole run of typing at once.
        QTest::keyClick(box, Qt::Key_Backspace, Qt::ControlModifier);
        QCOMPARE(box->toPlainText(), QStringLiteral("select a, b from "));
        QTest::keyClick(box, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(box->toPlainText(), QStringLiteral("select a, b from t"));
        QTest::keyClick(box, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(box->toPlainText(), QString());
        QTest::keyClick(box, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(box->toPlainText(), QStringLiteral("select a, b from t"));

        // Shift with the arrows selects; typing replaces the selection.
        QTest::keyClick(box, Qt::Key_Home);
        QTest::keyClick(box, Qt::Key_Right, Qt::ControlModifier);
        QTest::keyClick(box, Qt::Key_Right, Qt::ShiftModifier);
        QCOMPARE(box->selectedText(), QStringLiteral("a"));
        QTest::keyClicks(box, QStringLiteral("x"));
        QCOMPARE(box->toPlainText(), QStringLiteral("select x, b from t"));

        // An input method's composition stays out of the text until committed.
        QInputMethodEvent composing(QStringLiteral("e"), {});
        QApplication::sendEvent(box, &composing);
        QCOMPARE(box->toPlainText(), QStringLiteral("select x, b from t"));
        QInputMethodEvent committed;
        committed.setCommitString(QStringLiteral("\u00e9"));
        QApplication::sendEvent(box, &committed);
        QCOMPARE(box->toPlainText(), QStringLiteral("select x\u00e9, b from t"));
        QTest::keyClick(box, Qt::Key_Backspace);

        // Ctrl+Enter breaks the line; Delete joins it again.
        QTest::keyClick(box, Qt::Key_End);
        QTest::keyClick(box, Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(box->toPlainText(), QStringLiteral("select x, b from t\n"));
        QTest::keyClick(box, Qt::Key_Left);
        QTest::keyClick(box, Qt::Key_Delete);
        QCOMPARE(box->toPlainText(), QStringLiteral("select x, b from t"));

        // The clipboard, both ways.
        QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(box, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("select x, b from t"));
        QTest::keyClick(box, Qt::Key_End, Qt::ControlModifier);
        QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(box->toPlainText(), QStringLiteral("select x, b from tselect x, b from t"));
        QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(box, Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(box->toPlainText(), QString());
        QVERIFY(m_window->fields().isEmpty());
    }

    void movesOverWrappedLines()
    {
        StatementBox *box = m_window->txtExecute;
        QStringList words;
        for (int i = 0; i < 200; ++i)
            words.append(QStringLiteral("word%1").arg(i, 3, 10, QLatin1Char('0')));
        const QString text = words.join(u' ');
        box->setPlainText(text);
        box->setFocus();

        // Down goes to where the second line begins, after a space; End stays
        // before the space where the first line wraps.
        QTest::keyClick(box, Qt::Key_Down);
        const qsizetype second = box->cursorPosition();
        QVERIFY2(second > 0 && second < text.size() / 4, qPrintable(QString::number(second)));
        QCOMPARE(text[second - 1], u' ');
        QTest::keyClick(box, Qt::Key_Up);
        QCOMPARE(box->cursorPosition(), 0);
        QTest::keyClick(box, Qt::Key_End);
        QCOMPARE(box->cursorPosition(), second - 1);

        // Page Down moves several lines and scrolls; Ctrl+End reaches the end.
        QTest::keyClick(box, Qt::Key_PageDown);
        QVERIFY(box->cursorPosition() > 2 * second);
        QVERIFY(box->verticalScrollBar()->value() > 0);
        QTest::keyClick(box, Qt::Key_End, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(box->cursorPosition(), text.size());
        QVERIFY(box->selectedText().endsWith(QStringLiteral("word199")));

        // The mouse: a click at the top left, a double click on a word.
        box->verticalScrollBar()->setValue(0);
        QTest::mouseClick(box->viewport(), Qt::LeftButton, {}, QPoint(1, 1));
        QCOMPARE(box->cursorPosition(), 0);
        QTest::mouseDClick(box->viewport(), Qt::LeftButton, {}, QPoint(8, 6));
        QCOMPARE(box->selectedText(), QStringLiteral("word000"));
    }

    void readAndChangedByScreenReaders()
    {
        StatementBox *box = m_window->txtExecute;
        box->setPlainText(QStringLiteral("update t set a = 1"));
        QAccessibleInterface *face = QAccessible::queryAccessibleInterface(box);
        QVERIFY(face);
        QCOMPARE(face->role(), QAccessible::EditableText);
        QCOMPARE(face->text(QAccessible::Name), QStringLiteral("Action statement"));
        QAccessibleTextInterface *text = face->textInterface();
        QVERIFY(text && face->editableTextInterface());
        QCOMPARE(text->characterCount(), 18);
        QCOMPARE(text->text(0, 6), QStringLiteral("update"));
        text->setSelection(0, 7, 8);
        QCOMPARE(box->selectedText(), QStringLiteral("t"));
        face->editableTextInterface()->replaceText(7, 8, QStringLiteral("u"));
        QCOMPARE(box->toPlainText(), QStringLiteral("update u set a = 1"));
        const QRect third = text->characterRect(3);
        QVERIFY(third.width() > 0);
        QCOMPARE(text->offsetAtPoint(third.center() - QPoint(third.width() / 4, 0)), 3);
    }

    // A pasted statement of megabytes, a line without a space or a long
    // comment, is taken whole and stays editable at either end.
    void takesPastedMegabytes()
    {
        StatementBox *box = m_window->txtSelect;
        box->setFocus();
        box->clear();
        const QString pasted = QStringLiteral("select a from t -- ") + QString(4'000'000, u'y');
        QGuiApplication::clipboard()->setText(pasted);
        QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(box->toPlainText().size(), pasted.size());
        QCOMPARE(m_window->fields(), QStringList{QStringLiteral("a")});
        QTest::keyClicks(box, QStringLiteral("z"));
        QVERIFY(box->toPlainText().endsWith(QStringLiteral("yz")));
        QTest::keyClick(box, Qt::Key_Home, Qt::ControlModifier);
        QTest::keyClick(box, Qt::Key_Delete);
        QVERIFY(box->toPlainText().startsWith(QStringLiteral("elect a")));
        QVERIFY(!box->viewport()->grab().isNull());
        QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(box, Qt::Key_Delete);
        QVERIFY(box->toPlainText().isEmpty());
    }

    // Lines broken again only around a change must come out as breaking the
    // whole text would: random edits of words, spaces, line breaks, tabs,
    // long words and characters outside the basic plane.
    void breaksAroundAChangeAsTheWholeText()
    {
        const QStringList pieces = {QStringLiteral("select"), QStringLiteral(" "), QStringLiteral("\n"),
                                    QStringLiteral("\t"), QString(300, u'w'), QStringLiteral("a, b"),
                                    QStringLiteral("\U0001F600"), QStringLiteral("   "), QString(1500, u'.')};
        QRandomGenerator random(7);
        WrappedLines changed(m_window->font());
        WrappedLines whole(m_window->font());
        QString text;
        changed.wrap(text, 200);
        for (int round = 0; round < 400; ++round) {
            const qsizetype position = random.bounded(int(text.size()) + 1);
            const qsizetype removed = std::min<qsizetype>(random.bounded(40), text.size() - position);
            QString inserted;
            for (int i = random.bounded(4); i > 0; --i)
                inserted += pieces[random.bounded(int(pieces.size()))];
            text.replace(position, removed, inserted);
            changed.update(text, position, removed, inserted.size());
            whole.wrap(text, 200);
            QCOMPARE(changed.count(), whole.count());
            for (qsizetype line = 0; line < whole.count(); ++line) {
                QCOMPARE(changed.start(line), whole.start(line));
                QVERIFY(whole.end(text, line) - whole.start(line) <= WrappedLines::maximumLineLength);
            }
        }
    }

private:
    std::unique_ptr<test::IsolatedUserFolders> m_folders;
    std::unique_ptr<test::TestApp> m_app;
    std::unique_ptr<frmMain> m_window;
};

QTEST_MAIN(StatementBoxTest)
#include "tst_statementbox.moc"
