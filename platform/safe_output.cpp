#include "platform/safe_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>

namespace {

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

bool IsArchiveName(std::string_view path) {
    const size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (name.size() < 4) return false;
    const std::string_view extension = name.substr(name.size() - 4);
    return extension[0] == '.' && (extension[1] | 0x20) == 'c' && (extension[2] | 0x20) == 'n' &&
           (extension[3] | 0x20) == 'a';
}

bool CSafeOutput::Fail(std::string message) {
    Abandon();
    error_ = std::move(message);
    return false;
}

namespace {

enum class TargetKind { kNewFile, kRegularFile, kFifo, kDevice };

struct OutputTarget {
    TargetKind kind = TargetKind::kNewFile;
    std::string path;  // the file to create or replace, links followed
};

// What path names and whether the rules let it be written; nothing, with error set, when not.
std::optional<OutputTarget> ExamineOutput(const std::string& path, const SafeOutputRules& rules, std::string& error) {
    if (path.empty()) {
        error = "no output file named";
        return std::nullopt;
    }
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        if (errno != ENOENT) {
            error = ErrnoMessage("cannot examine " + path);
            return std::nullopt;
        }
        // A new file under an archive's name would be listed, and removed, as an archive.
        if (IsArchiveName(path)) {
            error = path + " is named like an archive (.CNA); choose another name";
            return std::nullopt;
        }
        return OutputTarget{TargetKind::kNewFile, path};
    }
    for (const std::string& protected_path : rules.protected_paths) {
        struct stat protected_status {};
        if (::stat(protected_path.c_str(), &protected_status) == 0 && SameFile(status, protected_status)) {
            error = path + " is the archive being read; choose another file";
            return std::nullopt;
        }
    }
    if (S_ISDIR(status.st_mode))
        error = path + " is a folder";
    else if (S_ISBLK(status.st_mode))
        error = path + " is a disk device; writing into it would destroy what it holds";
    else if (S_ISSOCK(status.st_mode))
        error = path + " is a socket; cannot write into it";
    if (!error.empty()) return std::nullopt;
    if (S_ISFIFO(status.st_mode)) return OutputTarget{TargetKind::kFifo, path};
    if (S_ISCHR(status.st_mode)) return OutputTarget{TargetKind::kDevice, path};
    std::error_code canonical_error;
    const std::string resolved = std::filesystem::canonical(path, canonical_error).string();
    if (canonical_error) {
        error = "cannot examine " + path + ": " + canonical_error.message();
        return std::nullopt;
    }
    if (IsArchiveName(path) || IsArchiveName(resolved)) {
        error = path + " is an archive; archives are never written over";
        return std::nullopt;
    }
    return OutputTarget{TargetKind::kRegularFile, resolved};
}

}  // namespace

bool CheckOutputPath(const std::string& path, const SafeOutputRules& rules, std::string& error) {
    error.clear();
    return ExamineOutput(path, rules, error).has_value();
}

bool CSafeOutput::Open(const std::string& path, const SafeOutputRules& rules) {
    Abandon();
    error_.clear();
    target_ = path;
    std::string error;
    const std::optional<OutputTarget> target = ExamineOutput(path, rules, error);
    if (!target) return Fail(error);
    if (target->kind == TargetKind::kFifo || target->kind == TargetKind::kDevice) {
        return OpenStream(target->path, target->kind == TargetKind::kFifo, rules.needs_seeking);
    }
    if (!file_.Create(target->path, rules.use_unnamed_file, &error)) return Fail(error);
    return true;
}

bool CSafeOutput::OpenStream(const std::string& path, bool is_fifo, bool needs_seeking) {
    // Not blocking on open: a FIFO without a reader is reported instead of waited for.
    stream_ = UniqueFd(::open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!stream_.IsOpen()) {
        if (is_fifo && errno == ENXIO) return Fail("no program reads from the pipe " + path);
        return Fail(ErrnoMessage("cannot open " + path));
    }
    const int flags = ::fcntl(stream_.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(stream_.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return Fail(ErrnoMessage("cannot set up " + path));
    }
    if (needs_seeking && ::lseek(stream_.Get(), 0, SEEK_CUR) < 0) {
        return Fail("cannot write into " + path +
                    ": this file is completed at the end, so it must go to a regular file");
    }
    is_stream_ = true;
    return true;
}

bool CSafeOutput::Write(const void* data, size_t size) {
    if (!IsOpen()) return Fail(error_.empty() ? "no output is open" : error_);
    if (!WriteAll(Fd(), data, size)) return Fail(ErrnoMessage("cannot write " + target_));
    return true;
}

bool CSafeOutput::Commit() {
    if (!IsOpen()) return Fail(error_.empty() ? "no output is open" : error_);
    if (is_stream_) {
        if (!stream_.Close()) return Fail(ErrnoMessage("cannot finish writing " + target_));
        return true;
    }
    std::string error;
    if (!file_.Commit(&error)) return Fail(error);
    return true;
}

void CSafeOutput::Abandon() {
    stream_.Reset();
    file_.Abandon();
    is_stream_ = false;
}

bool WriteOutputFile(const std::string& path, const void* data, size_t size, const SafeOutputRules& rules,
                     std::string& error) {
    CSafeOutput output;
    if (!output.Open(path, rules) || !output.Write(data, size) || !output.Commit()) {
        error = output.Error();
        return false;
    }
    error.clear();
    return true;
}
