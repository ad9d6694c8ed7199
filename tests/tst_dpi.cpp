// The windows on screens of 96 and 144 DPI come out the same size in inches.
// CTest runs this program once per screen; MORVANE_TEST_DPI names the screen,
// so a run on the wrong one fails instead of checking 96 DPI twice.
#include "MainLayout.h"
#include "OutlineList.h"
#include "QueryResult.h"
#include "TestSupport.h"

#include <QGroupBox>
#include <QHeaderView>
#include <QScreen>

#include <algorithm>
#include <cmath>

using namespace morvane;

class DpiTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_folders = std::make_unique<test::IsolatedUserFolders>();
        m_app = std::make_unique<test::TestApp>();
        m_expectedDpi = qEnvironmentVariableIsSet("MORVANE_TEST_DPI") ? qEnvironmentVariableIntValue("MORVANE_TEST_DPI") : 96;
    }

    void screenIsTheOneAskedFor()
    {
        const QScreen *screen = QGuiApplication::primaryScreen();
        // Qt either scales the window (a device pixel ratio above 1 at 96
        // logical DPI) or hands the DPI through; both must come out right.
        QCOMPARE(qRound(screen->logicalDotsPerInch() * screen->devicePixelRatio()), m_expectedDpi);
    }

    void twipsPerDevicePixel()
    {
        QWidget widget;
        const float perDevicePixel = Twips(&widget).perPixel() / float(widget.devicePixelRatioF());
        QCOMPARE(perDevicePixel, 1440.0f / float(m_expectedDpi));
        if (m_expectedDpi == 144)
            QCOMPARE(perDevicePixel, 10.0f);
    }

    void selectionDialogInInches()
    {
        frmDB dialog(m_app->context);
        QVERIFY(test::showAndWait(&dialog));
        QVERIFY(nearDesign(dialog.rect(), {0, 0, 4440, 1215}));
        QVERIFY(nearDesign(dialog.pathLabel->geometry(), {180, 285, 570, 240}));
        QVERIFY(nearDesign(dialog.pathBox->geometry(), {615, 240, 3765, 330}));
        QVERIFY(nearDesign(dialog.openButton->geometry(), {2370, 780, 960, 345}));
        QVERIFY(nearDesign(dialog.cancelButton->geometry(), {3405, 780, 960, 345}));
    }

    void queryWindowInInches()
    {
        frmMain window(m_app->context);
        QVERIFY(nearDesign(window.rect(), {0, 0, 6630, 6960}));
        QVERIFY(nearDesign(window.selectLabel->geometry(), {120, 270, 705, 270}));
        QVERIFY(nearDesign(window.txtSelect->geometry(), {645, 225, 3915, 2040}));
        QVERIFY(nearDesign(window.resultGrid->geometry(), {45, 2715, 6435, 1890}));
        QVERIFY(test::showAndWait(&window));

        // Resizing lays the window out from its outer size in this screen's twips.
        for (const QSize size : {QSize(500, 480), window.size() * 3 / 2, window.size()}) {
            window.resize(size);
            const Twips twips(&window);
            const QRect outer = window.frameGeometry();
            const MainLayout layout = computeMainLayout(twips.fromPixels(outer.height()), twips.fromPixels(outer.width()), twips.perPixel());
            QCOMPARE(window.selectFrame->height(), twips.toPixels(layout.selectFrameHeight));
            QCOMPARE(window.selectFrame->width(), twips.toPixels(layout.selectFrameWidth));
            QCOMPARE(window.executeFrame->y(), twips.toPixels(layout.executeFrameTop));
            QCOMPARE(window.resultGrid->size(), QSize(twips.toPixels(layout.resultsWidth), twips.toPixels(layout.resultsHeight)));
            QCOMPARE(window.txtSelect->width(), twips.toPixels(layout.selectBoxWidth));
            QCOMPARE(window.outlineList->x(), twips.toPixels(layout.outlineLeft));
            QCOMPARE(window.getButton->x(), twips.toPixels(layout.getButtonLeft));
            QCOMPARE(window.cmdExecute->x(), twips.toPixels(layout.executeButtonLeft));
        }
    }

    void gridMarginInTwips()
    {
        // A column starts as wide as its header plus 300 twips: 20 pixels at
        // 96 DPI, 30 at 144 where Qt does not scale.
        ResultGrid grid(nullptr);
        grid.setResult(test::makeResult({QStringLiteral("id")}, {QStringLiteral("1")}));
        const float perPixel = Twips(&grid).perPixel();
        const int header = grid.fontMetrics().horizontalAdvance(QStringLiteral("id"));
        QCOMPARE(grid.header()->sectionSize(0), qRound(float(header) + 300 / perPixel));
    }

private:
    // Whether a widget's geometry lies within a device pixel of the design
    // rectangle in twips at this screen's DPI, corner and size alike.
    bool nearDesign(const QRect &actual, const QRectF &twips) const
    {
        const qreal ratio = QWidget().devicePixelRatioF();
        const qreal perDevicePixel = 1440.0 / m_expectedDpi;
        const QRectF device(QPointF(actual.topLeft()) * ratio, QSizeF(actual.size()) * ratio);
        const QRectF expected(twips.topLeft() / perDevicePixel, twips.size() / perDevicePixel);
        const QMarginsF off(expected.x() - device.x(), expected.y() - device.y(), expected.width() - device.width(),
                            expected.height() - device.height());
        const bool near = std::max({std::abs(off.left()), std::abs(off.top()), std::abs(off.right()), std::abs(off.bottom())}) <= 1;
        if (!near)
            qWarning() << "in device pixels" << device << "against the design's" << expected;
        return near;
    }

    std::unique_ptr<test::IsolatedUserFolders> m_folders;
    std::unique_ptr<test::TestApp> m_app;
    int m_expectedDpi = 96;
};

QTEST_MAIN(DpiTest)
#include "tst_dpi.moc"
