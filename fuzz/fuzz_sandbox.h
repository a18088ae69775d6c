#pragma once

#include <QDir>
#include <QStringList>
#include <QTemporaryDir>

// A folder tree for one fuzz run: `work` is where the code under test runs,
// `outside` a sibling folder that a symbolic link inside `work` points to.
// Everything the code under test creates must stay inside `work`; after each
// input the sandbox checks that and puts `work` back as it was.
class FuzzSandbox
{
public:
    FuzzSandbox();

    // Makes the run's QCoreApplication under `program` and the one sandbox
    // of the run, which is removed when the run ends; aborts without a
    // temporary folder.
    static FuzzSandbox *start_run(const char *program);

    bool valid() const { return root.isValid(); }
    QString work_path() const;
    QString outside_path() const;

    // Writes a file below `work` that belongs to the starting state.
    void add_work_file(const QString &relative, const QByteArray &content);
    // Adds a link below `work` to the `outside` folder, owned by another
    // user (the launcher follows only links of its own user or of root).
    // Giving a link away takes root: otherwise no link is added.
    void add_outside_link(const QString &relative);
    // Records the current tree as the state to return to.
    void seal();

    // Aborts when anything appeared or vanished beside `work` or inside
    // `outside`, or a file of the starting state changed. Then removes
    // whatever was created inside `work`.
    void check_and_reset();

private:
    QStringList list_tree(const QString &dir) const;

    QTemporaryDir root;
    QStringList sealed_root;
    QStringList sealed_outside;
    QStringList sealed_work;
    QHash<QString, QByteArray> sealed_content;
};

// Aborts with a message: libFuzzer records the input as a finding.
[[noreturn]] void fuzz_fail(const char *what);
