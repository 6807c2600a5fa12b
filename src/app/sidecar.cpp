#include "app/sidecar.h"

#include "foundation/text_types.h"

namespace tunbrix {

TSidecarNames MakeSidecarNames(const WideString &appFileName) {
  TSidecarNames names;
  names.appFileName = appFileName;
  names.exeDir = ExtractFilePathW(appFileName);
  names.base = RemoveFileExtW(appFileName);
  names.baseName = ExtractFileNameW(names.base);
  return names;
}

WideString TSidecarNames::DataPack() const { return ChangeFileExtW(appFileName, u".dat"); }
WideString TSidecarNames::ScriptFile() const { return baseName + u"_script.ini"; }
WideString TSidecarNames::ErrorCodesFile() const { return baseName + u"_script_errorcodes.ini"; }
WideString TSidecarNames::UserOverridesRead() const { return baseName + u"_script_user.ini"; }
WideString TSidecarNames::UserOverridesWrite() const { return base + u"_script_user.ini"; }
WideString TSidecarNames::ScriptFileWrite() const { return base + u"_script.ini"; }
WideString TSidecarNames::ConfigRead() const { return baseName + u"_cfg.ini"; }
WideString TSidecarNames::ConfigWrite() const { return base + u"_cfg.ini"; }
WideString TSidecarNames::DefaultLanguageFile() const { return base + u"_language.ini"; }
WideString TSidecarNames::FileList() const { return base + u"_filelist"; }
WideString TSidecarNames::FileListPlaylist() const { return base + u"_filelist.m3u"; }
WideString TSidecarNames::RunLog() const { return exeDir + u"Debug - RunPrgList.txt"; }

} // namespace tunbrix
