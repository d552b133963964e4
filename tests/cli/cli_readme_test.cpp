// The README's command-line section and the tool's own help describe the same tool: every verb
// and every key one of them lists, the other lists too. Either side drifting (a key added to a
// verb but not documented, a documented key that was renamed) fails here with the difference.
#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <map>
#include <set>

#include "common/run_orvane.h"

namespace {

using KeySets = std::map<QString, std::set<QString>>;  // "train" or "dataset split" -> keys

QString read_readme() {
  QFile file(qEnvironmentVariable("ORVANE_SOURCE_DIR") + "/README.md");
  EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << file.fileName().toStdString();
  return QString::fromUtf8(file.readAll());
}

// "dataset" has sub-verbs, each with its own keys; every other verb is one word.
QString verb_of(const QStringList& words) {
  if (words.isEmpty()) return {};
  if (words[0] == "dataset" && words.size() > 1 && !words[1].contains('=')) {
    return words[0] + " " + words[1];
  }
  return words[0];
}

// The commands shown in the code blocks (lines indented by four spaces) of the README's section
// on the tool. A command starts at a line reading "orvane VERB ..."; deeper-indented lines after
// it continue it. Lines of output (the tool's "orvane VERB: ..." error lines among them), comments
// and environment settings end a command.
KeySets readme_keys(const QString& readme) {
  const qsizetype start = readme.indexOf("\n## The `orvane` tool");
  EXPECT_GE(start, 0) << "the README has no section on the orvane tool";
  qsizetype end = readme.indexOf("\n## ", start + 1);
  if (end < 0) end = readme.size();
  const QStringList lines = readme.mid(start, end - start).split('\n');
  static const QRegularExpression key_word("^([a-z_0-9]+)=");
  KeySets keys;
  QString current;
  for (const QString& raw : lines) {
    QString line = raw;
    if (line.endsWith('\\')) line.chop(1);
    if (!line.startsWith("    ")) {
      current.clear();
      continue;
    }
    const QString text = line.trimmed();
    const QStringList words = text.split(' ', Qt::SkipEmptyParts);
    // "orvane VERB: reason" is the tool's own error line shown as output, not a command.
    if (text.startsWith("orvane ") && !(words.size() > 1 && words[1].endsWith(':'))) {
      current = verb_of(words.mid(1));
      keys[current];  // a verb shown with no keys is still listed
    } else if (!line.startsWith("     ") || text.startsWith('#') || text.front().isUpper()) {
      current.clear();
      continue;
    }
    if (current.isEmpty()) continue;
    for (const QString& word : words) {
      const auto match = key_word.match(word);
      if (match.hasMatch()) keys[current].insert(match.captured(1));
    }
  }
  return keys;
}

// `orvane help` names the verbs; `orvane VERB help` prints "orvane VERB - summary" and one
// "  key=default    help" line per key (`dataset help` does so for each sub-verb).
KeySets help_keys() {
  const auto overview = orvane::test::run_orvane("help", {});
  EXPECT_EQ(overview.code, 0) << overview.err.toStdString();
  QStringList verbs;
  bool in_verbs = false;
  for (const QString& line : overview.err.split('\n')) {
    if (line.startsWith("verbs:")) in_verbs = true;
    else if (in_verbs && line.startsWith("  ")) verbs << line.trimmed().section(' ', 0, 0);
  }
  EXPECT_GE(verbs.size(), 10) << overview.err.toStdString();
  static const QRegularExpression header("^orvane ([a-z]+(?: [a-z]+)?) - ");
  static const QRegularExpression key_line("^  ([a-z_0-9]+)=");
  KeySets keys;
  for (const QString& verb : verbs) {
    const auto help = orvane::test::run_orvane(verb, {"help"});
    EXPECT_EQ(help.code, 0) << verb.toStdString() << ": " << help.err.toStdString();
    QString current;
    for (const QString& line : help.out.split('\n')) {
      if (const auto h = header.match(line); h.hasMatch()) {
        current = h.captured(1);
        keys[current];
      } else if (const auto k = key_line.match(line); k.hasMatch() && !current.isEmpty()) {
        keys[current].insert(k.captured(1));
      }
    }
    EXPECT_TRUE(keys.count(verb) || keys.lower_bound(verb + " ") != keys.end())
        << "orvane " << verb.toStdString() << " help names no keys";
  }
  return keys;
}

std::string list(const std::set<QString>& words) {
  std::string text;
  for (const QString& w : words) {
    if (!text.empty()) text += ' ';
    text += w.toStdString();
  }
  return text.empty() ? "(none)" : text;
}

std::set<QString> minus(const std::set<QString>& a, const std::set<QString>& b) {
  std::set<QString> rest;
  for (const QString& w : a)
    if (!b.count(w)) rest.insert(w);
  return rest;
}

std::set<QString> names(const KeySets& sets) {
  std::set<QString> all;
  for (const auto& [verb, keys] : sets) all.insert(verb);
  return all;
}

TEST(CliReadme, VerbsAndKeysOfTheHelpAreThoseOfTheReadme) {
  const KeySets documented = readme_keys(read_readme());
  const KeySets helped = help_keys();
  ASSERT_FALSE(helped.empty());
  EXPECT_TRUE(names(documented) == names(helped))
      << "verbs only in the README: " << list(minus(names(documented), names(helped)))
      << "\nverbs only in the help: " << list(minus(names(helped), names(documented)));
  for (const auto& [verb, keys] : helped) {
    const auto found = documented.find(verb);
    if (found == documented.end()) continue;  // reported above
    EXPECT_TRUE(found->second == keys)
        << "orvane " << verb.toStdString()
        << "\n  keys only in the README: " << list(minus(found->second, keys))
        << "\n  keys only in the help: " << list(minus(keys, found->second));
  }
}

TEST(CliReadme, ReadmeCommandsAreReadAsTheToolReadsThem) {
  // The parser itself, on the shapes the README uses: aligned continuation lines, a trailing
  // backslash, an environment prefix, a sub-verb and an example of output.
  const QString text =
      "# Title\n\n## The `orvane` tool\n\n"
      "    orvane split source=DIR output=DIR\n"
      "                 parts=4 rows=1\n"
      "    RANK=0 WORLD_SIZE=2 \\\n"
      "      orvane train model=a.yaml \\\n"
      "                   epochs=2\n"
      "    orvane dataset stats  source=DIR\n"
      "    yolov8s.pt is not in ~/.local: seed=3\n\n"
      "Text with `orvane val model=x` inline.\n\n## Next\n\n    orvane tune iterations=3\n";
  const KeySets keys = readme_keys(text);
  EXPECT_EQ(names(keys), (std::set<QString>{"split", "train", "dataset stats"}));
  EXPECT_EQ(keys.at("split"), (std::set<QString>{"source", "output", "parts", "rows"}));
  EXPECT_EQ(keys.at("train"), (std::set<QString>{"model", "epochs"}));
  EXPECT_EQ(keys.at("dataset stats"), (std::set<QString>{"source"}));
}

}  // namespace
