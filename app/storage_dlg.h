#pragma once

#include <QDialog>
#include <functional>
#include <string>

#include "storage/storage_folder.h"
#include "storage/storage_settings.h"

class QCheckBox;
class QDoubleSpinBox;
class QLabel;
class QPushButton;

// "Storage...": where recordings go (the folder, its free space and the space the recordings
// take), another folder to choose, and when the oldest recordings are deleted.
class CStorageDlg : public QDialog {
    Q_OBJECT
public:
    // Replaces the folder dialog (tests); gives the chosen folder, or an empty text on cancel.
    using FolderChooser = std::function<QString(QWidget* parent, const QString& start)>;

    CStorageDlg(std::string program_folder, const StorageSettings& settings, QWidget* parent);

    // The settings as the dialog holds them now (on OK, the ones to keep).
    StorageSettings Settings() const;
    // The folder recordings go to with these settings.
    const StorageFolder& Folder() const { return folder_; }
    void SetFolderChooser(FolderChooser chooser) { chooser_ = std::move(chooser); }

    QLabel* FolderLabel() const { return folder_label_; }
    QLabel* UsageLabel() const { return usage_label_; }
    QPushButton* ChooseButton() const { return choose_button_; }
    QPushButton* DefaultButton() const { return default_button_; }
    QCheckBox* MaxSizeCheck() const { return max_size_check_; }
    QDoubleSpinBox* MaxSizeGb() const { return max_size_gb_; }
    QCheckBox* MinFreeCheck() const { return min_free_check_; }
    QDoubleSpinBox* MinFreeGb() const { return min_free_gb_; }

private:
    void OnChoose();
    void OnDefault();
    // Resolves the folder for the chosen one and shows it with its figures.
    void Refresh();

    std::string program_folder_;
    std::string chosen_folder_;
    StorageFolder folder_;
    FolderChooser chooser_;
    QLabel* folder_label_ = nullptr;
    QLabel* source_label_ = nullptr;
    QLabel* usage_label_ = nullptr;
    QPushButton* choose_button_ = nullptr;
    QPushButton* default_button_ = nullptr;
    QCheckBox* max_size_check_ = nullptr;
    QDoubleSpinBox* max_size_gb_ = nullptr;
    QCheckBox* min_free_check_ = nullptr;
    QDoubleSpinBox* min_free_gb_ = nullptr;
};
