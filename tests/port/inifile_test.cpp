// SPDX-License-Identifier: MIT
#include "inifile.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <string>

namespace {

// Runs `step` with files limited to `bytes` (writes beyond fail with EFBIG).
void WithFileSizeLimit(rlim_t bytes, const std::function<void()>& step) {
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = bytes;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  step();
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);
}

class IniFileTest : public ::testing::Test {
 protected:
  std::string Path(const char* name = "settings.ini") const { return dir_.filePath(name).toStdString(); }

  void Put(const std::string& bytes, const char* name = "settings.ini") const {
    QFile f(QString::fromStdString(Path(name)));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes.data(), static_cast<qint64>(bytes.size()));
  }

  std::string Get(const char* name = "settings.ini") const {
    QFile f(QString::fromStdString(Path(name)));
    if (!f.open(QIODevice::ReadOnly)) return "<missing>";
    return f.readAll().toStdString();
  }

  QTemporaryDir dir_;
};

TEST_F(IniFileTest, NewFileHoldsSectionsAndKeysInWritingOrder) {
  TIniFile ini(Path());
  ini.WriteString("ComPort", "Port", "COM1");
  ini.WriteString("Makro", "Makro1Text", "");
  ini.WriteString("ComPort", "BaudRate", "38400");
  ini.WriteInteger("Test", "Interval", -5);
  ini.WriteBool("Test", "Echo", true);
  EXPECT_EQ(Get(), "[ComPort]\nPort=COM1\nBaudRate=38400\n[Makro]\nMakro1Text=\n[Test]\nInterval=-5\nEcho=1\n");
}

TEST_F(IniFileTest, MissingFileSectionOrKeyGivesDefaultAndCreatesNothing) {
  TIniFile ini(Path());
  EXPECT_EQ(ini.ReadString("ComPort", "Port", "dflt"), "dflt");
  EXPECT_EQ(ini.ReadInteger("Test", "Interval", 100), 100);
  EXPECT_TRUE(ini.ReadBool("Test", "Echo", true));
  EXPECT_EQ(Get(), "<missing>");
  Put("[A]\nx=1\n");
  EXPECT_EQ(ini.ReadString("B", "x", "d"), "d");
  EXPECT_EQ(ini.ReadString("A", "y", "d"), "d");
}

TEST_F(IniFileTest, NamesMatchWithoutLetterCaseAndBlanksAreIgnored) {
  Put("  [ comport ]  \n  PORT  =  COM7  \n\tbaudrate\t=\t19200\t\n");
  TIniFile ini(Path());
  EXPECT_EQ(ini.ReadString("ComPort", "Port", ""), "COM7");
  EXPECT_EQ(ini.ReadString("COMPORT", "BaudRate", ""), "19200");
  ini.WriteString("ComPort", "port", "COM2");
  EXPECT_EQ(Get(), "  [ comport ]  \nport=COM2\n\tbaudrate\t=\t19200\t\n");
}

TEST_F(IniFileTest, IntegerForms) {
  Put("[T]\na=0x0A\nb=$1f\nc=-12\nd=abc\ne=\nf=12abc\ng=0X10\nh=99999999999\n");
  TIniFile ini(Path());
  EXPECT_EQ(ini.ReadInteger("T", "a", 7), 10);
  EXPECT_EQ(ini.ReadInteger("T", "b", 7), 31);
  EXPECT_EQ(ini.ReadInteger("T", "c", 7), -12);
  EXPECT_EQ(ini.ReadInteger("T", "d", 7), 7);
  EXPECT_EQ(ini.ReadInteger("T", "e", 7), 7);
  EXPECT_EQ(ini.ReadInteger("T", "f", 7), 7);
  EXPECT_EQ(ini.ReadInteger("T", "g", 7), 16);
  EXPECT_EQ(ini.ReadInteger("T", "h", 7), 7);
  EXPECT_FALSE(ini.ReadBool("T", "e", false));
  EXPECT_TRUE(ini.ReadBool("T", "c", false));
  EXPECT_FALSE(ini.ReadBool("T", "d", false));  // not a number: the default
}

TEST_F(IniFileTest, LongValuesComeBackCut) {
  TIniFile ini(Path());
  const std::string big(5000, 'x');
  ini.WriteString("S", "k", big);
  EXPECT_EQ(ini.ReadString("S", "k", ""), std::string(2047, 'x'));
  EXPECT_EQ(ini.ReadString("S", "missing", big).size(), 2047u);
  EXPECT_NE(Get().find(big), std::string::npos);  // the file keeps the whole value
}

TEST_F(IniFileTest, ValuesRoundTripAsBytes) {
  TIniFile ini(Path());
  const std::string values[] = {"  padded  ", "\"quoted\"", "'q'", "\"", "a=b=c", std::string("n\0ul\xff\x80", 6),
                                "#17", "; not a comment"};
  int i = 0;
  for (const std::string& v : values) ini.WriteString("S", "k" + std::to_string(i++), v);
  i = 0;
  for (const std::string& v : values) EXPECT_EQ(ini.ReadString("S", "k" + std::to_string(i++), "?"), v);
}

TEST_F(IniFileTest, ValueIsCutAtLineBreakSoNoLinesCanBeInjected) {
  TIniFile ini(Path());
  ini.WriteString("S", "k", "first\n[Other]\nx=1");
  EXPECT_EQ(ini.ReadString("S", "k", ""), "first");
  EXPECT_EQ(ini.ReadString("Other", "x", "none"), "none");
  EXPECT_EQ(Get(), "[S]\nk=first\n");
}

TEST_F(IniFileTest, NamesThatCannotBeReadBackAreRefused) {
  TIniFile ini(Path());
  EXPECT_THROW(ini.WriteString("A]B", "k", "v"), EIniFileError);
  EXPECT_THROW(ini.WriteString("A\nB", "k", "v"), EIniFileError);
  EXPECT_THROW(ini.WriteString("A", "k=x", "v"), EIniFileError);
  EXPECT_THROW(ini.WriteString("A", ";k", "v"), EIniFileError);
  EXPECT_EQ(Get(), "<missing>");
}

TEST_F(IniFileTest, NewKeyGoesAfterLastKeyOfItsSectionBeforeBlankLines) {
  Put("; head\n[A]\nx=1\n; note\n\n\n[B]\ny=2\n");
  TIniFile ini(Path());
  ini.WriteString("a", "z", "3");
  ini.WriteString("B", "w", "4");
  ini.WriteString("C", "v", "5");
  EXPECT_EQ(Get(), "; head\n[A]\nx=1\nz=3\n; note\n\n\n[B]\ny=2\nw=4\n[C]\nv=5\n");
}

TEST_F(IniFileTest, EmptySectionGetsKeyRightAfterHeader) {
  Put("[A]\n\n[B]\n");
  TIniFile ini(Path());
  ini.WriteString("A", "k", "v");
  EXPECT_EQ(Get(), "[A]\nk=v\n\n[B]\n");
}

TEST_F(IniFileTest, CrlfFileKeepsCrlf) {
  Put("[A]\r\nx=1\r\n");
  TIniFile ini(Path());
  EXPECT_EQ(ini.ReadString("A", "x", ""), "1");
  ini.WriteString("A", "x", "2");
  ini.WriteString("A", "y", "3");
  ini.WriteString("B", "z", "4");
  EXPECT_EQ(Get(), "[A]\r\nx=2\r\ny=3\r\n[B]\r\nz=4\r\n");
}

TEST_F(IniFileTest, NoFinalNewline) {
  Put("[A]\nx=1");
  TIniFile ini(Path());
  EXPECT_EQ(ini.ReadString("A", "x", ""), "1");
  ini.WriteString("A", "y", "2");
  EXPECT_EQ(Get(), "[A]\nx=1\ny=2\n");
  Put("[A]\nx=1");
  ini.WriteString("A", "x", "9");
  EXPECT_EQ(Get(), "[A]\nx=9");
  Put("[A]\nx=1");
  ini.WriteString("B", "y", "2");
  EXPECT_EQ(Get(), "[A]\nx=1\n[B]\ny=2\n");
}

TEST_F(IniFileTest, FirstOfDuplicatedSectionsAndKeysWins) {
  Put("[A]\nx=1\nx=2\n[B]\n[a]\nx=3\ny=4\n");
  TIniFile ini(Path());
  EXPECT_EQ(ini.ReadString("A", "x", ""), "1");
  EXPECT_EQ(ini.ReadString("A", "y", "none"), "none");
  ini.WriteString("A", "x", "5");
  ini.WriteString("A", "y", "6");
  EXPECT_EQ(Get(), "[A]\nx=5\nx=2\ny=6\n[B]\n[a]\nx=3\ny=4\n");
}

TEST_F(IniFileTest, CommentsAndUnknownLinesAreKeptAndNotRead) {
  const std::string odd = std::string("garbage \x01\x02 line\n;Port=COM9\n#Port=COM8\n[broken\n", 46);
  Put("[ComPort]\n" + odd + "Port=COM3\n");
  TIniFile ini(Path());
  EXPECT_EQ(ini.ReadString("ComPort", "Port", ""), "COM3");
  ini.WriteString("ComPort", "Port", "COM4");
  EXPECT_EQ(Get(), "[ComPort]\n" + odd + "Port=COM4\n");
}

TEST_F(IniFileTest, SurvivesEmptyBinaryAndHugeFiles) {
  TIniFile ini(Path());
  Put("");
  EXPECT_EQ(ini.ReadString("A", "x", "d"), "d");
  ini.WriteString("A", "x", "1");
  EXPECT_EQ(Get(), "[A]\nx=1\n");

  std::string garbage;
  for (int i = 0; i < 70000; ++i) garbage += static_cast<char>((i * 7919 + i / 3) & 0xFF);
  garbage += std::string("\0[A]\0x=\0", 8);
  Put(garbage);
  EXPECT_EQ(ini.ReadString("Z", "x", "d"), "d");
  ini.WriteString("Z", "x", "1");
  EXPECT_EQ(ini.ReadString("Z", "x", ""), "1");
  EXPECT_EQ(Get().substr(0, garbage.size()), garbage);

  const std::string line(1 << 20, 'L');
  Put("[A]\nx=" + line + "\n" + line + "\ny=2");
  EXPECT_EQ(ini.ReadString("A", "x", "").size(), 2047u);
  EXPECT_EQ(ini.ReadString("A", "y", ""), "2");
  ini.WriteString("A", "y", "3");
  EXPECT_EQ(Get(), "[A]\nx=" + line + "\n" + line + "\ny=3");
}

TEST_F(IniFileTest, UnwritableTargetThrowsAndLeavesFileAlone) {
  // The parent of the target is a regular file.
  Put("plain", "file");
  const std::string bad = Path("file") + "/settings.ini";
  TIniFile ini(bad);
  try {
    ini.WriteString("A", "x", "1");
    FAIL() << "no error";
  } catch (const EIniFileError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + bad);
  }
  EXPECT_EQ(ini.ReadString("A", "x", "d"), "d");
  EXPECT_EQ(Get("file"), "plain");

  // The target is a folder.
  ASSERT_TRUE(QDir(QString::fromStdString(Path())).mkpath("."));
  TIniFile folder(Path());
  EXPECT_THROW(folder.WriteString("A", "x", "1"), EIniFileError);
  EXPECT_TRUE(QFileInfo(QString::fromStdString(Path())).isDir());
  EXPECT_EQ(folder.ReadString("A", "x", "d"), "d");
}

TEST_F(IniFileTest, WriteFailingHalfwayKeepsExistingFile) {
  Put("[A]\nx=1\n");
  TIniFile ini(Path());
  // A file size limit makes the write fail after part of it (also for root).
  bool threw = false;
  WithFileSizeLimit(64, [&] {
    try {
      ini.WriteString("A", "x", std::string(1000, 'v'));
    } catch (const EIniFileError&) {
      threw = true;
    }
  });
  EXPECT_TRUE(threw);
  EXPECT_EQ(Get(), "[A]\nx=1\n");
  EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

// Runs `step` as an ordinary user: in a child that drops root to nobody when
// the tests run as root, else right here. Returns what `step` returns.
int AsOrdinaryUser(const std::function<int()>& step) {
  if (geteuid() != 0) return step();
  const pid_t child = fork();
  if (child == 0) {
    constexpr uid_t kNobody = 65534;
    if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
        setresuid(kNobody, kNobody, kNobody) != 0)
      _exit(100);
    _exit(step());
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 101;
  return WEXITSTATUS(status);
}

ino_t Inode(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// A file everybody may write, in a folder the user may or may not write:
// where the folder allows it the file is replaced through a rename, where it
// does not the file is rewritten in place; a rewrite that fails half-way
// reports it and leaves the old content; a file the user may not write stays.
TEST_F(IniFileTest, OrdinaryUserStoresAFileItMayWriteInAnyFolder) {
  ASSERT_EQ(chmod(dir_.path().toLocal8Bit().constData(), 0755), 0);
  const std::string open = Path("open"), locked = Path("locked");
  ASSERT_EQ(mkdir(open.c_str(), 0777), 0);
  ASSERT_EQ(chmod(open.c_str(), 0777), 0);
  ASSERT_EQ(mkdir(locked.c_str(), 0755), 0);
  const std::string old = "; kept\n[A]\nx=1\n";
  auto put = [&](const std::string& path, mode_t mode) {
    QFile f(QString::fromStdString(path));
    EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(old.data(), static_cast<qint64>(old.size()));
    f.close();
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
  };
  auto get = [](const std::string& path) {
    QFile f(QString::fromStdString(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : "<missing>";
  };
  auto write = [](const std::string& path, const std::string& value) {
    return AsOrdinaryUser([&] {
      try {
        TIniFile ini(path);
        ini.WriteString("A", "x", value);
        return 0;
      } catch (const EIniFileError&) {
        return 1;
      }
    });
  };
  const std::string inOpen = open + "/serivox.ini", inLocked = locked + "/serivox.ini";
  put(inOpen, 0666);
  put(inLocked, 0666);
  // The folder below is locked for the user in both cases (for a user other
  // than root, through its mode).
  ASSERT_EQ(chmod(locked.c_str(), 0555), 0);

  const ino_t openBefore = Inode(inOpen);
  EXPECT_EQ(write(inOpen, "2"), 0);
  EXPECT_EQ(get(inOpen), "; kept\n[A]\nx=2\n");
  EXPECT_NE(Inode(inOpen), openBefore);  // a new file took its place

  const ino_t lockedBefore = Inode(inLocked);
  EXPECT_EQ(write(inLocked, "2"), 0);
  EXPECT_EQ(get(inLocked), "; kept\n[A]\nx=2\n");
  EXPECT_EQ(Inode(inLocked), lockedBefore);  // the same file, rewritten
  EXPECT_EQ(write(inLocked, "1"), 0);         // shorter again: cut to its length
  EXPECT_EQ(get(inLocked), old);
  EXPECT_EQ(QDir(QString::fromStdString(locked)).entryList(QDir::Files | QDir::Hidden).size(), 1);

  // A size limit stops the rewrite after part of it: reported, old bytes back.
  int grown = 0;
  WithFileSizeLimit(64, [&] { grown = write(inLocked, std::string(1000, 'v')); });
  EXPECT_EQ(grown, 1);
  EXPECT_EQ(get(inLocked), old);

  // A file the user may not write is left alone.
  // (Root owns it: 0644 bars nobody; an ordinary owner needs 0444.)
  ASSERT_EQ(chmod(inLocked.c_str(), geteuid() == 0 ? 0644 : 0444), 0);
  EXPECT_EQ(write(inLocked, "3"), 1);
  EXPECT_EQ(get(inLocked), old);
  chmod(locked.c_str(), 0755);
}

// Within a batch the file is read once: later changes by others are not seen,
// and only EndUpdate stores, keeping every line it does not own.
TEST_F(IniFileTest, BatchReadsOnceAndStoresOnce) {
  const std::string foreign = "junk\r\n[Other]\r\nk = v \r\n";
  Put(foreign + "[A]\r\nx=1\r\n");
  TIniFile ini(Path());
  ini.BeginUpdate();
  Put("[A]\nx=changed\n");
  EXPECT_EQ(ini.ReadString("a", "X", ""), "1");
  ini.WriteString("A", "y", "2");
  ini.WriteInteger("B", "z", 3);
  EXPECT_EQ(ini.ReadInteger("A", "y", 0), 2);
  EXPECT_EQ(Get(), "[A]\nx=changed\n");  // nothing stored yet
  ini.EndUpdate();
  EXPECT_EQ(Get(), foreign + "[A]\r\nx=1\r\ny=2\r\n[B]\r\nz=3\r\n");
  EXPECT_EQ(ini.ReadString("A", "x", ""), "1");  // outside a batch: the file again

  // A batch without writes, or whose writes leave every line as it was,
  // stores nothing; one left open stores nothing.
  Put("[A]\nx=1\n");
  ini.BeginUpdate();
  ini.WriteInteger("a", "x", 1);
  Put("[A]\nx=other\n");
  ini.EndUpdate();
  EXPECT_EQ(Get(), "[A]\nx=other\n");
  {
    TIniFile dropped(Path());
    dropped.BeginUpdate();
    dropped.WriteString("A", "x", "never");
  }
  EXPECT_EQ(Get(), "[A]\nx=other\n");
}

}  // namespace
