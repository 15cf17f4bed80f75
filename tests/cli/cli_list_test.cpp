#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "archive_core/archive_catalogue.h"
#include "support/cli_runner.h"
#include "support/temp_tree.h"

namespace {

struct CliRun {
    int exit_code = -1;
    QByteArray out;
    QByteArray err;
};

// `list` through the shared runner, its outputs as Qt reads them.
CliRun RunList(const QStringList& arguments) {
    std::vector<std::string> list_arguments{"list"};
    for (const QString& argument : arguments) list_arguments.push_back(argument.toStdString());
    const CommandResult run = RunCli(list_arguments);
    return CliRun{run.exit_code, QByteArray::fromStdString(run.out), QByteArray::fromStdString(run.err)};
}

}  // namespace

TEST(CliList, JsonHoldsTheCatalogueRowsWithEscapedNames) {
    TempTree tree;
    tree.WriteFile("Storage/20090315/1.CNA", "abc");
    tree.WriteFile("Storage/20090315/quote\"back\\slash\ttab\nline\x01.txt");
    tree.WriteFile("Storage/20090316/2.CNA");
    tree.WriteFile("Storage/20090316/bad\xFFutf8.CNA");
    tree.WriteFile("Storage/20090317/3.CNA");

    const CliRun run = RunList({QString::fromStdString(tree.ProgramFolder()), "2009-03-15", "2009-03-16", "--json"});
    ASSERT_EQ(run.exit_code, 0);
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(run.out, &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << run.out.toStdString();
    ASSERT_TRUE(document.isArray());

    const auto rows = BuildCatalogue(tree.StorageFolder(), DayRange{{2009, 3, 15}, {2009, 3, 16}});
    const QJsonArray array = document.array();
    ASSERT_EQ(array.size(), static_cast<qsizetype>(rows.size()));
    ASSERT_EQ(rows.size(), 4u);
    for (qsizetype i = 0; i < array.size(); ++i) {
        const QJsonObject object = array[i].toObject();
        const CatalogueRow& row = rows[static_cast<size_t>(i)];
        // A byte that is no UTF-8 arrives as the replacement character; everything else as it is.
        const std::string name = QString::fromUtf8(row.name).toStdString();
        EXPECT_EQ(object.value("path").toString().toStdString(), QString::fromUtf8(row.full_path).toStdString());
        EXPECT_EQ(object.value("name").toString().toStdString(), name);
        EXPECT_EQ(object.value("date").toString().toStdString(), row.date_text);
        EXPECT_EQ(object.value("duration").toString().toStdString(), row.duration_text);
        EXPECT_EQ(object.keys().size(), 4);
    }
}

TEST(CliList, AFolderNamedLikeAnArchiveIsNoArchive) {
    TempTree tree;
    tree.WriteFile("Storage/20090315/1.CNA");
    tree.MakeFolder("Storage/20090315/2.CNA");
    const CliRun run = RunList({QString::fromStdString(tree.ProgramFolder()), "2009-03-01", "2009-03-31"});
    ASSERT_EQ(run.exit_code, 0) << run.err.toStdString();
    EXPECT_EQ(run.out.trimmed().split('\n').size(), 1) << run.out.toStdString();
    EXPECT_TRUE(run.out.startsWith(QByteArray::fromStdString(tree.ProgramFolder() + "Storage/20090315/1.CNA\t")))
        << run.out.toStdString();
}

TEST(CliList, PlainOutputAndArgumentErrors) {
    TempTree tree;
    tree.WriteFile("Storage/20090315/1.CNA");
    const QString folder = QString::fromStdString(tree.ProgramFolder());

    const CliRun plain = RunList({folder, "2009-03-01", "2009-03-31"});
    ASSERT_EQ(plain.exit_code, 0);
    const QList<QByteArray> fields = plain.out.trimmed().split('\t');
    ASSERT_EQ(fields.size(), 4);
    EXPECT_EQ(fields[0].toStdString(), tree.ProgramFolder() + "Storage/20090315/1.CNA");
    EXPECT_EQ(fields[1], "1.CNA");

    // Names never bring control characters to the terminal: each row stays one line of four fields.
    tree.WriteFile("Storage/20090315/line\nbreak\x1b[31mred\ttab\\.CNA");
    const CliRun escaped = RunList({folder, "2009-03-01", "2009-03-31"});
    ASSERT_EQ(escaped.exit_code, 0);
    const QList<QByteArray> lines = escaped.out.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 2);
    for (const QByteArray& line : lines) {
        EXPECT_EQ(line.split('\t').size(), 4) << line.toStdString();
        EXPECT_FALSE(line.contains('\x1b')) << line.toStdString();
    }
    EXPECT_TRUE(escaped.out.contains("line\\nbreak\\x1B[31mred\\ttab\\\\.CNA")) << escaped.out.toStdString();

    // A day that cannot be listed is said, the others are listed, and the list counts as failed.
    tree.WriteFile("Storage/20090316", "a file where a day folder should be");
    const CliRun partial = RunList({folder, "2009-03-01", "2009-03-31"});
    EXPECT_EQ(partial.exit_code, 1);
    EXPECT_EQ(partial.out, escaped.out);
    EXPECT_EQ(partial.err.toStdString(),
              "cindral-cli list: cannot list " + tree.StorageFolder() + "20090316/: Not a directory\n");

    EXPECT_EQ(RunList({folder, "2009-04-01", "2009-04-30", "--json"}).out.trimmed(), "[]");
    EXPECT_EQ(RunList({folder, "2009-3-1", "2009-03-31"}).exit_code, 2);
    EXPECT_EQ(RunList({folder, "2009-03-01", "2009-13-01"}).exit_code, 2);
    EXPECT_EQ(RunList({folder, "2009-03-01"}).exit_code, 2);
    EXPECT_EQ(RunList({folder, "2009-03-01", "2009-03-31", "--xml"}).exit_code, 2);
}
