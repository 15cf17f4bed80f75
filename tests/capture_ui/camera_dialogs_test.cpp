#include <gst/gst.h>
#include <gst/video/colorbalance.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>

#include "capture_ui/camera_controls_dlg.h"
#include "capture_ui/camera_format_dlg.h"
#include "capture_ui/camera_property_pages.h"

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

TEST_F(CameraControlsDialogTest, ATestPictureOffersNoneOfTheGraphsProperties) {
    GstElement* camera = Parse("videotestsrc name=inner is-live=true");
    QWidget parent;
    {
        CCameraControlsDlg dialog(camera, &parent);
        EXPECT_EQ(dialog.ControlCount(), 0);
        // Not "num-buffers", "blocksize", "typefind", the pattern's phases or any other property.
        EXPECT_TRUE(dialog.findChildren<QSpinBox*>().isEmpty());
        EXPECT_TRUE(dialog.findChildren<QCheckBox*>().isEmpty());
        EXPECT_TRUE(dialog.findChildren<QComboBox*>().isEmpty());
        QStringList texts;
        for (const QLabel* label : dialog.findChildren<QLabel*>()) texts << label->text();
        EXPECT_TRUE(texts.contains("A test picture has no controls to adjust.")) << texts.join('|').toStdString();
    }
    gst_object_unref(camera);
}

TEST_F(CameraControlsDialogTest, ColourBalanceChannelsHaveTheirRangeAndADefault) {
    GstElement* camera = Parse("videotestsrc ! videobalance name=balance");
    GstElement* balance = gst_bin_get_by_name(GST_BIN(camera), "balance");
    ASSERT_NE(balance, nullptr);
    QWidget parent;
    {
        CCameraControlsDlg dialog(camera, &parent);
        EXPECT_EQ(dialog.ControlCount(), 4);  // brightness, contrast, hue, saturation
        const GList* channels = gst_color_balance_list_channels(GST_COLOR_BALANCE(balance));
        ASSERT_NE(channels, nullptr);
        auto* channel = GST_COLOR_BALANCE_CHANNEL(channels->data);
        auto* row = dialog.findChild<QWidget*>(QString::fromUtf8(channel->label));
        ASSERT_NE(row, nullptr);
        auto* slider = row->findChild<QSlider*>();
        auto* number = row->findChild<QSpinBox*>();
        auto* reset = row->findChild<QPushButton*>();
        ASSERT_TRUE(slider && number && reset);
        EXPECT_EQ(number->minimum(), channel->min_value);
        EXPECT_EQ(number->maximum(), channel->max_value);
        const int target = channel->min_value + (channel->max_value - channel->min_value) / 4;
        slider->setValue(target);
        EXPECT_EQ(number->value(), target);
        EXPECT_NEAR(gst_color_balance_get_value(GST_COLOR_BALANCE(balance), channel), target, 1);
        // Back to the element's own default of that property.
        reset->click();
        const QByteArray property = QByteArray(channel->label).toLower();
        GParamSpec* param_spec = g_object_class_find_property(G_OBJECT_GET_CLASS(balance), property.constData());
        ASSERT_NE(param_spec, nullptr) << property.constData();
        gdouble value = -100;
        g_object_get(balance, property.constData(), &value, nullptr);
        EXPECT_NEAR(value, G_PARAM_SPEC_DOUBLE(param_spec)->default_value, 0.002) << property.constData();
        EXPECT_EQ(dialog.DeviceError(), "");
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
