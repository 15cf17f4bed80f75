#include <gst/gst.h>
#include <gst/video/colorbalance.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QListWidget>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>

#include "capture/dialogs/camera_controls_dlg.h"
#include "capture/dialogs/camera_format_dlg.h"
#include "capture/dialogs/camera_property_pages.h"

namespace {

const std::vector<CameraFormat> kFormats = {
    {640, 480, 30, 1, "video/x-raw, format=YUY2"},
    {320, 240, 15, 1, "video/x-raw, format=YUY2"},
    {1280, 720, 30000, 1001, "image/jpeg"},
};

TEST(CameraFormatDialog, ListsFormatsSelectsTheCurrentAndReturnsTheChosenOne) {
    QWidget parent;
    CCameraFormatDlg dialog(kFormats, kFormats[1], &parent);
    QListWidget* list = dialog.FormatList();
    ASSERT_EQ(list->count(), 3);
    EXPECT_EQ(list->item(0)->text(), "640 x 480, 30 fps, video/x-raw, format=YUY2");
    EXPECT_EQ(list->item(2)->text(), "1280 x 720, 29.97 fps, image/jpeg");
    EXPECT_EQ(list->currentRow(), 1);
    list->setCurrentRow(2);
    const auto chosen = dialog.SelectedFormat();
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(chosen->width, 1280);
    EXPECT_EQ(chosen->rate_numerator, 30000);
    EXPECT_EQ(chosen->media_type, "image/jpeg");

    // A current format not in the list selects nothing.
    CCameraFormatDlg unknown(kFormats, CameraFormat{800, 600, 5, 1, "video/x-raw"}, &parent);
    EXPECT_EQ(unknown.FormatList()->currentRow(), -1);
    EXPECT_FALSE(unknown.SelectedFormat().has_value());
    EXPECT_EQ(CCameraFormatDlg::DescribeFormat(CameraFormat{8, 6, 0, 1, "video/x-raw"}),
              "8 x 6, variable rate, video/x-raw");
}

TEST(CameraFormatDialog, PropertyPagesReturnNothingWhenCancelledAndTheChoiceOnOk) {
    QWidget parent;
    CCameraPropertyPages pages(&parent);
    auto close_active = [](bool is_accepted) {
        QTimer::singleShot(0, [is_accepted] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!dialog) return;
            if (is_accepted) {
                dialog->findChild<QListWidget*>("formats")->setCurrentRow(0);
                dialog->accept();
            } else {
                dialog->reject();
            }
        });
    };
    close_active(false);
    EXPECT_FALSE(pages.ChooseFormat(kFormats, kFormats[1]).has_value());
    close_active(true);
    const auto chosen = pages.ChooseFormat(kFormats, kFormats[1]);
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(chosen->width, 640);
}

class CameraControlsDialogTest : public ::testing::Test {
protected:
    GstElement* Parse(const char* description) {
        GError* error = nullptr;
        GstElement* bin = gst_parse_bin_from_description(description, TRUE, &error);
        EXPECT_EQ(error, nullptr);
        if (error) g_error_free(error);
        gst_object_ref_sink(bin);
        return bin;
    }
};

TEST_F(CameraControlsDialogTest, PropertiesOfTheSourceAreEditedLive) {
    GstElement* camera = Parse("videotestsrc name=inner is-live=true");
    GstElement* source = gst_bin_get_by_name(GST_BIN(camera), "inner");
    ASSERT_NE(source, nullptr);
    QWidget parent;
    {
        CCameraControlsDlg dialog(camera, &parent);
        EXPECT_GT(dialog.ControlCount(), 3);
        auto* pattern = dialog.findChild<QComboBox*>("pattern");
        ASSERT_NE(pattern, nullptr);
        const int ball = pattern->findText("ball");
        ASSERT_GE(ball, 0);
        pattern->setCurrentIndex(ball);
        gint value = -1;
        g_object_get(source, "pattern", &value, nullptr);
        EXPECT_EQ(value, pattern->itemData(ball).toInt());

        auto* horizontal_speed = dialog.findChild<QSpinBox*>("horizontal-speed");
        ASSERT_NE(horizontal_speed, nullptr);
        horizontal_speed->setValue(7);
        gint speed = 0;
        g_object_get(source, "horizontal-speed", &speed, nullptr);
        EXPECT_EQ(speed, 7);

        auto* timestamp = dialog.findChild<QCheckBox*>("do-timestamp");
        ASSERT_NE(timestamp, nullptr);
        gboolean before = FALSE;
        g_object_get(source, "do-timestamp", &before, nullptr);
        timestamp->setChecked(!before);
        gboolean after = before;
        g_object_get(source, "do-timestamp", &after, nullptr);
        EXPECT_NE(after, before);
        // The element's name is the graph's business, not a camera control.
        EXPECT_EQ(dialog.findChild<QWidget*>("name"), nullptr);

        // As large as the fields ask: nothing cut at the right, scrolling down only where the
        // screen has no more room.
        dialog.show();
        QApplication::processEvents();
        const auto* scroll = dialog.findChild<QScrollArea*>();
        EXPECT_EQ(scroll->horizontalScrollBar()->maximum(), 0);
        if (scroll->verticalScrollBar()->maximum() > 0) {
            EXPECT_EQ(dialog.height(), dialog.screen()->availableGeometry().height());
        }
    }
    gst_object_unref(source);
    gst_object_unref(camera);
}

TEST_F(CameraControlsDialogTest, ColourBalanceChannelsAreSliders) {
    GstElement* camera = Parse("videotestsrc ! videobalance name=balance");
    GstElement* balance = gst_bin_get_by_name(GST_BIN(camera), "balance");
    ASSERT_NE(balance, nullptr);
    QWidget parent;
    {
        CCameraControlsDlg dialog(camera, &parent);
        const auto sliders = dialog.findChildren<QSlider*>();
        ASSERT_EQ(sliders.size(), 4);  // brightness, contrast, hue, saturation
        auto* first = sliders[0];
        const QString label = first->objectName().mid(QStringLiteral("balance:").size());
        GstColorBalanceChannel* channel = nullptr;
        for (const GList* item = gst_color_balance_list_channels(GST_COLOR_BALANCE(balance)); item; item = item->next) {
            auto* candidate = GST_COLOR_BALANCE_CHANNEL(item->data);
            if (label == QString::fromUtf8(candidate->label)) channel = candidate;
        }
        ASSERT_NE(channel, nullptr);
        const int target = channel->min_value + (channel->max_value - channel->min_value) / 4;
        first->setValue(target);
        EXPECT_NEAR(gst_color_balance_get_value(GST_COLOR_BALANCE(balance), channel), target, 1);
    }
    gst_object_unref(balance);
    gst_object_unref(camera);
}

TEST_F(CameraControlsDialogTest, NoCameraShowsNoControls) {
    QWidget parent;
    CCameraControlsDlg dialog(nullptr, &parent);
    EXPECT_EQ(dialog.ControlCount(), 0);
}

}  // namespace
