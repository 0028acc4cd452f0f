#include "tools/publish/Walk.h"

#include "tools/publish/Names.h"
#include "tools/publish/Text.h"

#include <algorithm>

namespace publish {

namespace fs = std::filesystem;

bool IsInside(const fs::path& root, const fs::path& target) {
    auto r = root.begin();
    auto t = target.begin();
    for (; r != root.end(); ++r, ++t) {
        // A trailing separator shows up as an empty last component.
        if (r->empty() && std::next(r) == root.end()) return true;
        if (t == target.end() || *r != *t) return false;
    }
    return true;
}

namespace {

class Walker {
public:
    explicit Walker(WalkResult& result) : result_(result) {}

    void Run(const fs::path& root) {
        std::error_code ec;
        root_ = fs::canonical(root, ec);
        if (ec || !fs::is_directory(root_, ec)) {
            result_.unreadable.push_back(Cat("'", Display(root), "' is not a readable directory"));
            return;
        }
        std::vector<fs::path> ancestors{root_};
        Directory(root, fs::path(), std::string(), ancestors);
    }

private:
    void Refuse(const fs::path& relative, const std::string& why) {
        result_.refused.push_back(Cat("refused '", Display(relative), "': ", why));
    }

    void Directory(const fs::path& dir, const fs::path& relative, const std::string& listDir,
                   std::vector<fs::path>& ancestors) {
        std::error_code ec;
        fs::directory_iterator it(dir, ec);
        if (ec) {
            result_.unreadable.push_back(Cat("can't read the directory '", Display(dir), "': ", ec.message()));
            return;
        }
        for (; it != fs::directory_iterator(); it.increment(ec)) {
            Entry(*it, relative, listDir, ancestors);
        }
        if (ec) result_.unreadable.push_back(Cat("can't read the directory '", Display(dir), "': ", ec.message()));
    }

    void Entry(const fs::directory_entry& entry, const fs::path& parentRelative, const std::string& listDir,
               std::vector<fs::path>& ancestors) {
        const fs::path name = entry.path().filename();
        const fs::path relative = parentRelative / name;
        std::string encoded;
        const NameProblem problem = EncodeComponent(name, encoded);
        if (problem != NameProblem::None) {
            Refuse(relative, Describe(problem));
            return;
        }
        const std::string listPath = listDir.empty() ? encoded : Cat(listDir, "\\", encoded);

        std::error_code ec;
        const fs::file_status own = entry.symlink_status(ec);
        if (ec) {
            result_.unreadable.push_back(Cat("can't examine '", Display(entry.path()), "': ", ec.message()));
            return;
        }
        fs::path resolved;
        if (fs::is_symlink(own)) {
            resolved = fs::canonical(entry.path(), ec);
            if (ec) {
                Refuse(relative, Cat("symbolic link to nothing readable (", ec.message(), ")"));
                return;
            }
            if (!IsInside(root_, resolved)) {
                Refuse(relative, Cat("symbolic link that leaves the client directory (to '", Display(resolved), "')"));
                return;
            }
        }
        const fs::file_status status = fs::is_symlink(own) ? fs::status(entry.path(), ec) : own;
        if (ec) {
            result_.unreadable.push_back(Cat("can't examine '", Display(entry.path()), "': ", ec.message()));
            return;
        }

        if (fs::is_regular_file(status)) {
            const std::uintmax_t size = fs::file_size(entry.path(), ec);
            if (ec) {
                result_.unreadable.push_back(Cat("can't examine '", Display(entry.path()), "': ", ec.message()));
            } else {
                result_.files.push_back({entry.path(), listPath, size});
            }
        } else if (fs::is_directory(status)) {
            fs::path canonicalDir = resolved;
            if (canonicalDir.empty()) canonicalDir = fs::canonical(entry.path(), ec);
            if (ec) {
                result_.unreadable.push_back(Cat("can't examine '", Display(entry.path()), "': ", ec.message()));
                return;
            }
            if (std::find(ancestors.begin(), ancestors.end(), canonicalDir) != ancestors.end()) {
                Refuse(relative, "symbolic link that loops back to a directory that holds it");
                return;
            }
            ancestors.push_back(canonicalDir);
            Directory(entry.path(), relative, listPath, ancestors);
            ancestors.pop_back();
        } else {
            Refuse(relative, "not a regular file or directory");
        }
    }

    WalkResult& result_;
    fs::path root_;
};

}  // namespace

WalkResult Walk(const fs::path& root) {
    WalkResult result;
    Walker(result).Run(root);
    std::sort(result.files.begin(), result.files.end(),
              [](const SourceFile& a, const SourceFile& b) { return a.listPath < b.listPath; });

    std::vector<std::string> paths;
    paths.reserve(result.files.size());
    for (const SourceFile& f : result.files) paths.push_back(f.listPath);
    for (const std::string& clash : FindServerClashes(paths)) result.refused.push_back(Cat("refused ", clash));
    return result;
}

}  // namespace publish
