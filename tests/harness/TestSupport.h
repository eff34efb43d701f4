#pragma once

#include <string>
#include <vector>

namespace zenta::test {

// Called by the test main before any test runs.
void InitTestEnvironment();

std::string SourceDir();
std::string BinaryDir();
int DbPort();
std::string DbDir();
std::string DbSocket();

// A fresh folder for one test, removed afterwards; path() ends in "/".
class TempDir {
  public:
    explicit TempDir(const std::string& hint = "t");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

void WriteFile(const std::string& path, const std::string& contents);
std::string ReadFile(const std::string& path);

// Runs a statement with the mariadb client as root over the private server's socket and
// returns its output (tab-separated rows, no header). An independent view of the database.
std::string Sql(const std::string& statements, const std::string& database = "zentasupermarket");
// Drops and re-creates zentasupermarket with the suite's schema.
void ResetDatabase();
// Whether `text` has the shape: '#' stands for one digit, every other character for itself
// ("ZentaMarket##############.ZTB"). FindShape: where the shape first occurs in `text`, or
// std::string::npos.
bool HasShape(const std::string& text, const std::string& shape);
size_t FindShape(const std::string& text, const std::string& shape);
bool EndsWithShape(const std::string& text, const std::string& shape);

// Runs a shell command; its exit status.
int Shell(const std::string& command);

// Whether a program is on PATH.
bool Have(const std::string& program);
// Starts a program in the background, its output to `out`; its process id.
int Spawn(const std::vector<std::string>& args, const std::string& out = "/dev/null");
// Ends a program started by Spawn and waits for it.
void StopSpawned(int pid);
// Starts an Xvfb on a display number no other X server holds (Xvfb picks it and says which
// once it takes connections) that never starts over when its last client leaves; its process
// id, and `display` (":N"). -1 when none came up.
// Tests that run side by side never share an X server this way, however their ids fall.
int StartXServer(std::string& display, const std::string& screen = "800x600x24");

// A small, whole 7z archive at `path`, made by the real archiver (each call packs anew).
void MakeSmallArchive(const std::string& path);
// Copies `from` to `to` cut to `bytes`: an archive whose packing was killed.
void CopyCutShort(const std::string& from, const std::string& to, size_t bytes);

// A TCP listener on 127.0.0.1 that takes connections and never says a word, as a hung
// database server does.
class SilentListener {
  public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    int port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
};

// A small tmpfs mounted on a folder for the life of the object (tests run as root in CI);
// mounted() is false where mounting is refused, and the test should skip with a message.
class SmallFileSystem {
  public:
    SmallFileSystem(const std::string& folder, const std::string& size);
    ~SmallFileSystem();
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;
    bool mounted() const { return mounted_; }

  private:
    std::string folder_;
    bool mounted_ = false;
};

// A labelled ext4 file system (no reserve for root, so "full" means full) in an image file,
// loop-mounted for the life of the object, as a shop's USB backup drive is. The program finds
// it by its label through libblkid, as in a shop. Needs root and loop devices: mounted() is
// false otherwise, and the test should skip with a message.
class LabelledDrive {
  public:
    // `label` gets this process's number appended, so that parallel runs never see each
    // other's drives; label() is the full one.
    LabelledDrive(const std::string& label, const std::string& size = "16M");
    ~LabelledDrive();
    LabelledDrive(const LabelledDrive&) = delete;
    LabelledDrive& operator=(const LabelledDrive&) = delete;
    bool mounted() const { return mounted_; }
    const std::string& label() const { return label_; }
    const std::string& mountPoint() const { return mount_; } // ends in "/"
    // Mounts it again (`options` such as "ro"); unmounts it (lazily: as a drive pulled out
    // while a file on it is still open).
    bool Mount(const std::string& options = "");
    bool Unmount(bool lazy = false);
    // Leaves `bytes` free, with one file that fills the rest (removed by Unfill).
    void FillLeaving(long long bytes);
    void Unfill();

  private:
    TempDir dir_;
    std::string image_, mount_, label_;
    bool mounted_ = false;
};

} // namespace zenta::test
