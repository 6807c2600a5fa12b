#include <gtest/gtest.h>

#include "app/sidecar.h"

namespace tunbrix {
namespace {

TEST(Sidecar, NamesDeriveFromTheExecutable) {
  struct Case {
    WideString exe;
    WideString pack, script, errorCodes, overridesRead, overridesWrite, configRead, configWrite,
        language, fileList, playlist, runLog;
  } cases[] = {
      {u"/opt/x/tunbrix", u"/opt/x/tunbrix.dat", u"tunbrix_script.ini",
       u"tunbrix_script_errorcodes.ini", u"tunbrix_script_user.ini",
       u"/opt/x/tunbrix_script_user.ini", u"tunbrix_cfg.ini", u"/opt/x/tunbrix_cfg.ini",
       u"/opt/x/tunbrix_language.ini", u"/opt/x/tunbrix_filelist", u"/opt/x/tunbrix_filelist.m3u",
       u"/opt/x/Debug - RunPrgList.txt"},
      // The extension goes, so a renamed copy has a set of its own.
      {u"/opt/x/my.app", u"/opt/x/my.dat", u"my_script.ini", u"my_script_errorcodes.ini",
       u"my_script_user.ini", u"/opt/x/my_script_user.ini", u"my_cfg.ini", u"/opt/x/my_cfg.ini",
       u"/opt/x/my_language.ini", u"/opt/x/my_filelist", u"/opt/x/my_filelist.m3u",
       u"/opt/x/Debug - RunPrgList.txt"},
      // A dot in a folder name is no extension.
      {u"/opt/v1.2/tunbrix", u"/opt/v1.2/tunbrix.dat", u"tunbrix_script.ini",
       u"tunbrix_script_errorcodes.ini", u"tunbrix_script_user.ini",
       u"/opt/v1.2/tunbrix_script_user.ini", u"tunbrix_cfg.ini", u"/opt/v1.2/tunbrix_cfg.ini",
       u"/opt/v1.2/tunbrix_language.ini", u"/opt/v1.2/tunbrix_filelist",
       u"/opt/v1.2/tunbrix_filelist.m3u", u"/opt/v1.2/Debug - RunPrgList.txt"},
  };
  for (const auto &c : cases) {
    const TSidecarNames n = MakeSidecarNames(c.exe);
    SCOPED_TRACE(WideToUtf8(c.exe));
    EXPECT_EQ(n.DataPack(), c.pack);
    EXPECT_EQ(n.ScriptFile(), c.script);
    EXPECT_EQ(n.ErrorCodesFile(), c.errorCodes);
    EXPECT_EQ(n.UserOverridesRead(), c.overridesRead);
    EXPECT_EQ(n.UserOverridesWrite(), c.overridesWrite);
    EXPECT_EQ(n.ConfigRead(), c.configRead);
    EXPECT_EQ(n.ConfigWrite(), c.configWrite);
    EXPECT_EQ(n.DefaultLanguageFile(), c.language);
    EXPECT_EQ(n.FileList(), c.fileList);
    EXPECT_EQ(n.FileListPlaylist(), c.playlist);
    EXPECT_EQ(n.RunLog(), c.runLog);
  }
}

} // namespace
} // namespace tunbrix
