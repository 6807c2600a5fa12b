// CTAG: every tag of one audio file as one ordered list of named text items,
// plus one object per format that keeps all that was read, so that writing
// the tag back carries pictures, other frames and kept comments along.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <string_view>

#include "foundation/codepages.h"
#include "foundation/file_io.h"
#include "tags/tagape.h"
#include "tags/tagcommon.h"
#include "tags/tagid3.h"
#include "tags/tagid3v2.h"
#include "tags/taglyrics3.h"
#include "tags/vorbiscomments.h"

namespace tunbrix {

struct TRunContext;

// One item. Names compare case-insensitively over ASCII; the case of the
// first setting is kept.
struct TTagItemFrame {
  std::string Name;
  WideString Value;
  // The user emptied it: skipped by FitsID3v1 and by added items, but still
  // written, so that the field goes in every format.
  bool Removed = false;
  // Shown in one of the tag editor's fixed fields.
  bool Shown = false;
};

class CTAG {
public:
  // ---- the item list

  // Always appends, also under a name that is there already.
  TTagItemFrame &AddItem(std::string_view name, const WideString &value);
  TTagItemFrame *FindItem(std::string_view name);
  const TTagItemFrame *FindItem(std::string_view name) const;
  // "" when there is no such item.
  WideString GetItem(std::string_view name) const;
  // The first item of that name gets the value (and loses its Removed mark);
  // without one, an item is appended.
  void SetItem(std::string_view name, const WideString &value);
  // For folding Vorbis comments in: an empty item, or one whose value the new
  // one extends (case-insensitively), takes the value; any other value
  // becomes a further item of that name.
  void MergeItem(std::string_view name, const WideString &value);
  void ClearItems();
  size_t ItemCount() const { return Items.size(); }
  // Every item not marked Removed has at most 30 characters.
  bool FitsID3v1() const;

  // ---- whole files

  // Clears flags, sizes and items and starts every format object afresh.
  void Reset();
  // Reads the chosen formats (ID3v1, Lyrics3, ID3v2, APE) into the format
  // objects; Vorbis comments come from the stream readers instead (see
  // ReadVorbisComments). True when no tag at all was found.
  bool ReadTags(IFileSystem &fs, const WideString &path, uint8_t formats);
  // Folds the formats found into items, later formats overriding earlier
  // ones: ID3v1, Lyrics3, ID3v2, APE, Vorbis.
  void LoadItems();
  // Writes the items into each chosen format (and with kTagPresentOnly into
  // each format found by the last read). 1 when any format failed, else the
  // result of the last format written; 1 when none was chosen. A failure
  // puts the file back as it was before the call. Ogg comments are written
  // by the external vorbiscomment through runner; without one they fail.
  TagResult WriteTags(IFileSystem &fs, const WideString &path, uint8_t formats,
                      const TRunContext *runner = nullptr);
  // 1 when any removal failed (the file is then put back as it was), else 0
  // when anything was removed, else 2.
  TagResult RemoveTags(IFileSystem &fs, const WideString &path, uint8_t formats,
                       const TRunContext *runner = nullptr);

  // ---- patterns

  // Sets items from a file name by a pattern of "%name%" fields; "/" in the
  // pattern matches a folder level.
  void ParseFileName(const WideString &name, const WideString &pattern);
  // The pattern with every "%name%" replaced by that item's value (nothing
  // for a missing one); at most 260 characters.
  WideString ExpandPattern(const WideString &pattern) const;

  std::list<TTagItemFrame> Items; // in insertion order
  // All tags found by the last ReadTags; the analysers take it off the file
  // size to get the audio size.
  int64_t TotalTagSize = 0;
  bool HasTag = true;
  int NameCase = 0; // for APE and Vorbis names: 0 as is, 1 lower, 2 upper, 3 capitalised
  int NameSort = 0; // 0 as is, 1 alphabetical, 2 by size
  bool HasID3v1 = false;
  bool HasID3v2 = false;
  bool HasLyrics3 = false;
  bool HasAPE = false;
  bool HasVorbis = false;
  // The format bits that failed in the last WriteTags or RemoveTags, so that
  // a caller can say which one.
  uint8_t FailedFormats = 0;

  CID3 ID3v1;
  CID3v2 ID3v2;
  CLyrics3 Lyrics3;
  CAPETag APE;
  CVorbisComments Vorbis;
};

// Which writer handles the Vorbis comments of a file, by its extension.
enum class TVorbisContainer { None, Flac, Ogg };
TVorbisContainer VorbisContainerOf(const WideString &path);

// Reads the Vorbis comments of a FLAC or Ogg file into tag.Vorbis and sets
// HasVorbis (and HasTag) when a comment block was found. The stream analyser
// does this while it reads the stream; this is the same step on its own.
// False when the file is neither or its stream could not be read.
bool ReadVorbisComments(IFileSystem &fs, const WideString &path, CTAG &tag);

} // namespace tunbrix
