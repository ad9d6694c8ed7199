// The query window's layout: the resize arithmetic and the live window.
#include "MainLayout.h"
#include "OutlineList.h"
#include "TestSupport.h"

#include <QGroupBox>

using namespace morvane;

namespace {

// The outer size at which the frames come out at their design size.
constexpr float designHeight = 4695 + 2145 + 465;
constexpr float designWidth = 6570 + 180;

} // namespace

class LayoutTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_folders = std::make_unique<test::IsolatedUserFolders>();
        m_app = std::make_unique<test::TestApp>();
    }

    void workedExample()
    {
        const MainLayout layout = computeMainLayout(designHeight, designWidth, 15);
        QCOMPARE(layout.selectFrameHeight, 4695.0f);
        QCOMPARE(layout.selectFrameWidth, 6570.0f);
        QCOMPARE(layout.executeFrameWidth, 6570.0f);
        QCOMPARE(layout.executeBoxWidth, 6420.0f);
        QCOMPARE(layout.selectBoxWidth, 3915.0f);
        QCOMPARE(layout.outlineLeft, 4590.0f);
        // Off the design values by the amounts the arithmetic gives.
        QCOMPARE(layout.executeFrameTop, 4770.0f - 45);
        QCOMPARE(layout.resultsHeight, 1890.0f + 30);
        QCOMPARE(layout.resultsWidth, 6435.0f + 15);
        QCOMPARE(layout.executeButtonLeft, 5325.0f - 30);
        QCOMPARE(layout.getButtonLeft, 3315.0f - 15);
    }

    void edgeCases()
    {
        // Too low for the lower frame: the upper frame and the grid collapse to 0.
        const MainLayout low = computeMainLayout(465 + 2145 - 300, designWidth, 15);
        QCOMPARE(low.selectFrameHeight, 0.0f);
        QCOMPARE(low.executeFrameTop, 30.0f);
        QCOMPARE(low.resultsHeight, 0.0f);
        const MainLayout minimised = computeMainLayout(0, 0, 15);
        QCOMPARE(minimised.selectFrameWidth, 0.0f);
        QCOMPARE(minimised.resultsWidth, 0.0f);
        QCOMPARE(minimised.selectBoxWidth, 0.0f);
        QCOMPARE(minimised.getButtonLeft, 0.0f);

        // Widening moves the right-hand controls and widens the rest by as much.
        const MainLayout base = computeMainLayout(designHeight, designWidth, 15);
        const MainLayout wide = computeMainLayout(designHeight, designWidth + 1500, 15);
        for (float MainLayout::*value : {&MainLayout::selectFrameWidth, &MainLayout::executeFrameWidth, &MainLayout::resultsWidth,
                                         &MainLayout::selectBoxWidth, &MainLayout::executeBoxWidth, &MainLayout::outlineLeft,
                                         &MainLayout::getButtonLeft, &MainLayout::executeButtonLeft})
            QCOMPARE(wide.*value - base.*value, 1500.0f);

        // At 120 DPI every value is read back in whole pixels of 12 twips.
        const MainLayout scaled = computeMainLayout(designHeight, designWidth, 12);
        for (const float value : {scaled.selectFrameHeight, scaled.executeFrameTop, scaled.resultsHeight, scaled.resultsWidth,
                                  scaled.executeBoxWidth, scaled.executeButtonLeft, scaled.selectBoxWidth, scaled.outlineLeft,
                                  scaled.getButtonLeft})
            QCOMPARE(std::fmod(value, 12.0f), 0.0f);
        // The lower frame's 2145 twips read back as 179 pixels (2148 twips),
        // and the grid's top 2715 as 226 pixels (2712 twips).
        QCOMPARE(scaled.selectFrameHeight, 7305.0f - 2148 - 465);
        QCOMPARE(scaled.resultsHeight, 7305.0f - 2148 - 465 - 2712 - 60);

        // The narrowest window the layout allows keeps every width at 0 or more.
        const MainLayout narrowest = computeMainLayout(designHeight, design::minimumOuterWidth, 15);
        QCOMPARE(narrowest.selectBoxWidth, 0.0f);
        QVERIFY(narrowest.executeBoxWidth > 0);
    }

    void liveWindowFollowsItsSize()
    {
        frmMain window(m_app->context);
        QVERIFY(test::showAndWait(&window));

        // The layout follows the outer size, borders included.
        const QSize borders = window.frameGeometry().size() - window.size();
        const QSize designOuter(int(designWidth / 15), int(designHeight / 15));
        window.resize(designOuter - borders);
        QCOMPARE(window.frameGeometry().size(), designOuter);
        QCOMPARE(window.selectFrame->geometry(), QRect(2, 3, 438, 313));
        QCOMPARE(window.executeFrame->geometry(), QRect(2, 315, 438, 143));
        QCOMPARE(window.resultGrid->geometry(), QRect(3, 181, 430, 128));
        QCOMPARE(window.txtSelect->geometry(), QRect(43, 15, 261, 136));
        QCOMPARE(window.getButton->geometry(), QRect(220, 154, 81, 23));
        QCOMPARE(window.txtExecute->geometry(), QRect(4, 15, 428, 92));
        QCOMPARE(window.cmdExecute->geometry(), QRect(353, 113, 75, 22));
        QCOMPARE(window.outlineList->geometry(), QRect(306, 14, 126, 165));

        // Other sizes follow the arithmetic above: tst_dpi.
        // The window will not become narrower than the layout can handle.
        window.resize(50, 300);
        QVERIFY(window.width() * 15 >= design::minimumOuterWidth);
        QVERIFY(window.txtExecute->width() > 0);
    }

    void focusOrderAndNamesForScreenReaders()
    {
        frmMain window(m_app->context);
        QVERIFY(test::showAndWait(&window));
        QApplication::setActiveWindow(&window);
        // The first focus and the default button: tst_query.
        window.txtSelect->setFocus();
        const QList<QWidget *> expected{window.getButton, window.txtExecute, window.cmdExecute,
                                        window.outlineList, window.resultGrid, window.txtSelect};
        for (QWidget *next : expected) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), next);
        }

        const QList<QPair<QWidget *, QString>> names{
            {window.txtSelect, QStringLiteral("Select statement")}, {window.getButton, QStringLiteral("Get")},
            {window.outlineList, QStringLiteral("Fields and tables")}, {window.resultGrid, QStringLiteral("Results")},
            {window.txtExecute, QStringLiteral("Action statement")}, {window.cmdExecute, QStringLiteral("Execute")}};
        for (const auto &[widget, name] : names)
            QCOMPARE(widget->accessibleName(), name);
        QCOMPARE(window.selectLabel->text(), QStringLiteral("Select:"));
        QCOMPARE(window.selectFrame->title(), QStringLiteral("SQL select"));
        QCOMPARE(window.executeFrame->title(), QStringLiteral("Execute"));
        QCOMPARE(window.windowIcon().availableSizes(), (QList<QSize>{QSize(16, 16), QSize(32, 32)}));
    }

private:
    std::unique_ptr<test::IsolatedUserFolders> m_folders;
    std::unique_ptr<test::TestApp> m_app;
};

QTEST_MAIN(LayoutTest)
#include "tst_layout.moc"
