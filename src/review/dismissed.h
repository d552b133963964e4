#pragma once
// The findings a user dismissed in the review list, kept per folder and model in a small dot-file
// beside the labels (`.orvane-review-dismissed.json`), so a dismissed finding stays dismissed when
// the folder is reviewed again with the same model. The dataset tools list only images and .txt
// label files, so the file never counts as data.
//
//   {"models": {"/abs/path/best.pt": ["val_0003.jpg|missed|2|0|10,12,40,38", ...]}}

#include <QSet>
#include <QString>

#include "files/text_file.h"
#include "review/review.h"

namespace orvane::review {

inline constexpr const char* kDismissedFileName = ".orvane-review-dismissed.json";

// What identifies a finding across runs: the image's file name, the kind, the label line, the
// class and the box rounded to whole pixels.
QString finding_key(const QString& image_path, const Finding& finding);

class DismissedStore {
 public:
  // Reads `folder`/.orvane-review-dismissed.json for `model_path` (made absolute). A missing file
  // is an empty store; an unreadable or malformed one too, with `error()` saying why (it is then
  // not overwritten, so nothing the user dismissed under another model is lost).
  DismissedStore(const QString& folder, const QString& model_path);

  bool contains(const QString& key) const { return keys_.contains(key); }
  int size() const { return int(keys_.size()); }
  // Adds the key and writes the file atomically.
  Result<> dismiss(const QString& key);
  Result<> restore(const QString& key);
  const QString& error() const { return error_; }
  QString path() const;

 private:
  Result<> save();
  QString folder_, model_;
  QSet<QString> keys_;
  QString error_;
};

}  // namespace orvane::review
