#include "engine/tuner.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <sstream>

#include "engine/data/data_config.h"
#include "engine/error.h"
#include "engine/logger.h"
#include "engine/metrics/metrics.h"
#include "engine/train_args.h"
#include "files/atomic_file.h"

namespace orvane::engine {

namespace fs = std::filesystem;

namespace {

std::string number(double v, int precision = 10) {
  std::ostringstream out;
  out.precision(precision);
  out << v;
  return out.str();
}

double round5(double v) { return std::round(v * 1e5) / 1e5; }

// A value rounded to 5 decimals in plain decimal notation ("0.00001", never "1e-05": YAML 1.1
// readers would take the exponent form for text).
std::string plain(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.5f", round5(v));
  std::string s = buf;
  while (s.size() > 1 && s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  if (s == "-0") s = "0";
  return s;
}

std::string join_values(const std::vector<std::pair<std::string, double>>& values) {
  std::ostringstream out;
  out.precision(6);
  for (const auto& [k, v] : values)
    out << (&k == &values.front().first ? "" : ", ") << k << '=' << v;
  return out.str();
}

std::string csv_text(const std::vector<TuneDimension>& space, const std::vector<TuneRow>& rows) {
  std::ostringstream out;
  out << "fitness";
  for (const auto& d : space) out << ',' << d.key;
  out << '\n';
  for (const auto& r : rows) {
    out << plain(r.fitness);
    for (double v : r.values) out << ',' << plain(v);
    out << '\n';
  }
  return out.str();
}

std::string yaml_text(const std::vector<TuneDimension>& space, const TuneRow& best, int best_index,
                      int done, int planned, double seconds, const fs::path& dir,
                      const std::string& optimizer) {
  std::ostringstream out;
  out << "# " << done << "/" << planned << " iterations complete (" << number(seconds, 4) << " s)\n"
      << "# Results saved to " << dir.string() << "\n"
      << "# Best fitness=" << plain(best.fitness) << " observed at iteration " << best_index + 1
      << "\n"
      << "# Trained with optimizer " << optimizer << "\n"
      << "# Best fitness hyperparameters are printed below.\n\n";
  for (size_t i = 0; i < space.size(); ++i)
    out << space[i].key << ": " << plain(best.values[i]) << "\n";
  return out.str();
}

// optimizer=auto chooses its own lr0 and momentum and ignores the given ones, so a search over
// them would be blind. Decide the optimizer once, by training's own rule, and search the
// learning rate that optimizer really uses.
void resolve_auto_optimizer(TrainOptions& o) {
  if (o.optimizer != "auto") return;
  const auto config = load_data_config(o.data);
  const auto n_train = int64_t(list_split_images(config.train).size());
  const int batch =
      o.batch > 0 ? int(std::min<int64_t>(o.batch, std::max<int64_t>(n_train, 1))) : 16;
  const auto iterations =
      int64_t(std::ceil(double(n_train) / std::max(batch, o.nbs)) * std::max(o.epochs, 1));
  if (iterations > kAutoOptimizerSgdIterations) {
    o.optimizer = "SGD";
    o.lr0 = 0.01;
    o.momentum = 0.9;
  } else {
    o.optimizer = "AdamW";
    o.lr0 = std::round(0.002 * 5 / (4 + config.nc()) * 1e6) / 1e6;
    o.momentum = 0.9;
    o.warmup_bias_lr = 0.0;  // as training does for its automatic AdamW
  }
  LOGGER.info("Tuner: optimizer=auto resolves to " + o.optimizer + "(lr0=" + number(o.lr0) +
              ", momentum=" + number(o.momentum) +
              ") for this data; the search tunes that optimizer so lr0 and momentum take effect");
}

}  // namespace

const std::vector<TuneDimension>& default_tune_space() {
  static const std::vector<TuneDimension> space{
      {"lr0", 1e-5, 1e-1},          {"lrf", 0.0001, 0.1},        {"momentum", 0.7, 0.98, 0.3},
      {"weight_decay", 0.0, 0.001}, {"warmup_epochs", 0.0, 5.0}, {"warmup_momentum", 0.0, 0.95},
      {"box", 1.0, 20.0},           {"cls", 0.2, 4.0},           {"dfl", 0.4, 6.0},
      {"hsv_h", 0.0, 0.1},          {"hsv_s", 0.0, 0.9},         {"hsv_v", 0.0, 0.9},
      {"degrees", 0.0, 45.0},       {"translate", 0.0, 0.9},     {"scale", 0.0, 0.95},
      {"shear", 0.0, 10.0},         {"perspective", 0.0, 0.001}, {"flipud", 0.0, 1.0},
      {"fliplr", 0.0, 1.0},         {"mosaic", 0.0, 1.0},
  };
  return space;
}

double get_hyperparameter(const TrainOptions& options, const std::string& key) {
  for (const auto& [k, v] : train_args_list(options)) {
    if (k != key) continue;
    try {
      return std::stod(v);
    } catch (const std::exception&) {
      break;
    }
  }
  throw EngineError("'" + key + "' is not a numeric training option");
}

void set_hyperparameter(TrainOptions& options, const std::string& key, double value) {
  get_hyperparameter(options, key);  // refuses non-numeric keys
  set_train_arg(options, key, number(value, 17));
}

std::vector<double> mutate_hyperparameters(const std::vector<TuneDimension>& space,
                                           const std::vector<TuneRow>& rows,
                                           const std::vector<double>& start, std::mt19937_64& rng,
                                           double mutation, double sigma, int parents) {
  const size_t ng = space.size();
  if (start.size() != ng) throw EngineError("tune: start values do not match the search space");
  std::vector<double> hyp = start;
  if (!rows.empty()) {
    std::vector<size_t> order(rows.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return rows[a].fitness > rows[b].fitness; });
    order.resize(std::min(order.size(), size_t(std::max(parents, 1))));
    double lowest = rows[order.back()].fitness;
    std::vector<double> weights;
    for (size_t i : order) weights.push_back(rows[i].fitness - lowest + 1e-6);
    std::discrete_distribution<size_t> pick(weights.begin(), weights.end());
    const TuneRow& parent = rows[order[pick(rng)]];
    if (parent.values.size() != ng)
      throw EngineError("tune: a result row does not match the space");

    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<double> factor(ng, 1.0);
    // Redraw until something changes; bounded so that mutation=0 cannot hang the search.
    for (int attempt = 0; attempt < 1000; ++attempt) {
      std::vector<double> mask(ng), noise(ng);
      for (auto& m : mask) m = uniform(rng) < mutation ? 1.0 : 0.0;
      for (auto& z : noise) z = normal(rng);
      const double strength = uniform(rng);
      for (size_t i = 0; i < ng; ++i)
        factor[i] =
            std::clamp(space[i].gain * mask[i] * noise[i] * strength * sigma + 1.0, 0.3, 3.0);
      if (std::any_of(factor.begin(), factor.end(), [](double f) { return f != 1.0; })) break;
    }
    for (size_t i = 0; i < ng; ++i) hyp[i] = parent.values[i] * factor[i];
  }
  for (size_t i = 0; i < ng; ++i)
    hyp[i] = round5(std::clamp(hyp[i], space[i].lower, space[i].upper));
  return hyp;
}

namespace {

// Bad options and bad data fail here, in one line, before any folder is made.
void check_tune_options(const TuneOptions& options) {
  const auto& base = options.train;
  if (options.iterations < 1) throw EngineError("iterations must be at least 1");
  if (base.epochs < 1) throw EngineError("epochs must be at least 1");
  if (base.data.empty()) throw EngineError("tune needs data=path/to/data.yaml");
  if (options.space.empty()) throw EngineError("tune: the search space is empty");
  const auto config = load_data_config(base.data);
  if (config.val.empty())
    throw EngineError(base.data + " names no 'val' split; tuning needs one to score each trial");
}

fs::path make_tune_folder(const TrainOptions& base) {
  const fs::path dir = increment_path(fs::path(base.project) / base.name, base.exist_ok);
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec || !fs::is_directory(dir))
    throw EngineError("cannot create the tune folder " + dir.string() +
                      (ec ? ": " + ec.message() : ""));
  // Results of an earlier search in this folder would mix with this one's rows.
  const fs::path csv = dir / "tune_results.csv";
  if (fs::exists(csv, ec))
    LOGGER.warning("Tuner: " + csv.string() + " of an earlier search is replaced by this search");
  return dir;
}

// The training options of trial `i` (0-based): the base with the trial's values, in its own
// iterN folder of the tune folder.
TrainOptions trial_options(const TuneOptions& options, const std::vector<double>& values, int i,
                           const fs::path& dir) {
  TrainOptions it = options.train;
  for (size_t k = 0; k < values.size(); ++k)
    set_hyperparameter(it, options.space[k].key, values[k]);
  it.project = dir.string();
  it.name = "iter" + std::to_string(i + 1);
  it.exist_ok = true;
  it.plots = options.plots;
  if (!options.plots) it.render_plots = nullptr;
  it.resume = false;
  return it;
}

struct Trial {
  double fitness = 0.0;
  fs::path weights_dir;  // empty when the trial failed
  bool stopped = false;
};

Trial run_trial(const YoloModel& model, bool fresh, const TrainOptions& it,
                const std::vector<std::pair<std::string, Trainer::Callback>>& callbacks, int i,
                bool first) {
  Trial trial;
  try {
    Trainer trainer(clone_model(model), it, {}, fresh);
    for (const auto& [event, cb] : callbacks) trainer.add_callback(event, cb);
    auto run = trainer.train();
    trial.weights_dir = run.save_dir / "weights";
    trial.stopped = run.stopped;
    trial.fitness = run.metrics ? run.metrics->fitness : trainer.best_fitness;
  } catch (const std::exception& e) {
    // The first trial runs the given hyperparameters: if that fails the data or the model is
    // at fault and no search can succeed. A later trial may fail from its mutated values;
    // it scores 0 and the search goes on.
    if (first) throw;
    std::string message = e.what();
    LOGGER.warning("Tuner: iteration " + std::to_string(i + 1) +
                   " failed and scores 0: " + message.substr(0, message.find('\n')));
  }
  return trial;
}

// Only the best trial's weights are worth keeping: they move to the tune folder's weights/.
void keep_best_weights(const fs::path& weights_dir, const fs::path& dir, bool best_is_current) {
  std::error_code ec;
  if (best_is_current) {
    const fs::path src =
        fs::exists(weights_dir / "best.pt", ec) ? weights_dir / "best.pt" : weights_dir / "last.pt";
    fs::create_directories(dir / "weights", ec);
    if (fs::exists(src, ec)) fs::rename(src, dir / "weights" / "best.pt", ec);
    if (ec) LOGGER.warning("Tuner: could not keep " + src.string() + ": " + ec.message());
  }
  fs::remove_all(weights_dir, ec);
}

size_t best_row(const std::vector<TuneRow>& rows) {
  size_t best = 0;
  for (size_t r = 1; r < rows.size(); ++r)
    if (rows[r].fitness > rows[best].fitness) best = r;
  return best;
}

void log_iteration(int iteration, const TuneResult& result, const std::vector<TuneRow>& rows,
                   size_t best, int iterations, double seconds) {
  char line[256];
  std::snprintf(line, sizeof line,
                "Tuner: iteration %d/%d fitness=%.5f; best fitness=%.5f at iteration %zu "
                "(%zu/%d iterations complete, %.1f s)",
                iteration, iterations, rows.back().fitness, rows[best].fitness, best + 1,
                rows.size(), iterations, seconds);
  LOGGER.info(line);
  LOGGER.info("Tuner: best hyperparameters so far: " + join_values(result.iterations[best].values));
}

}  // namespace

TuneResult tune(const YoloModel& model, bool fresh, TuneOptions options,
                const std::vector<std::pair<std::string, Trainer::Callback>>& callbacks) {
  using Clock = std::chrono::steady_clock;
  const auto t0 = Clock::now();
  check_tune_options(options);
  auto& base = options.train;
  resolve_auto_optimizer(base);

  TuneResult result;
  result.save_dir = make_tune_folder(base);
  const fs::path dir = result.save_dir;
  const fs::path csv = dir / "tune_results.csv";
  const fs::path yaml = dir / "best_hyperparameters.yaml";

  std::vector<double> start;
  for (const auto& d : options.space) start.push_back(get_hyperparameter(base, d.key));
  std::mt19937_64 rng(base.seed ^ 0x7475'6e65'7200ull);  // "tuner": a stream apart from training

  LOGGER.info("Tuner: " + std::to_string(options.iterations) + " iterations of " +
              std::to_string(base.epochs) + " epochs each, results in " + dir.string());
  std::vector<TuneRow> rows;
  for (int i = 0; i < options.iterations; ++i) {
    if (options.stop_requested && options.stop_requested()) {
      result.stopped = true;
      break;
    }
    const auto values = mutate_hyperparameters(options.space, rows, start, rng, options.mutation,
                                               options.sigma, options.parents);
    std::vector<std::pair<std::string, double>> named;
    for (size_t k = 0; k < values.size(); ++k) named.emplace_back(options.space[k].key, values[k]);
    LOGGER.info("\nTuner: starting iteration " + std::to_string(i + 1) + "/" +
                std::to_string(options.iterations) +
                " with hyperparameters: " + join_values(named));

    const Trial trial =
        run_trial(model, fresh, trial_options(options, values, i, dir), callbacks, i, rows.empty());
    if (trial.stopped) {
      // A stopped trial has not trained its epochs; its score would mislead the search.
      std::error_code ec;
      fs::remove_all(trial.weights_dir, ec);
      result.stopped = true;
      LOGGER.info("Tuner: stopped during iteration " + std::to_string(i + 1) +
                  "; it is not scored. Results of " + std::to_string(rows.size()) +
                  " finished iterations are in " + dir.string());
      break;
    }
    rows.push_back({trial.fitness, values});
    result.iterations.push_back({i + 1, trial.fitness, named});
    const size_t best = best_row(rows);
    result.best = int(best);
    if (!trial.weights_dir.empty() && !options.save)
      keep_best_weights(trial.weights_dir, dir, best + 1 == rows.size());

    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    // The studio reads these while the search runs: each is replaced whole, never torn.
    files::write_atomically_or_throw<EngineError>(csv, csv_text(options.space, rows));
    files::write_atomically_or_throw<EngineError>(
        yaml, yaml_text(options.space, rows[best], int(best), int(rows.size()), options.iterations,
                        seconds, dir, base.optimizer));
    if (options.render_plots) options.render_plots(dir);
    log_iteration(i + 1, result, rows, best, options.iterations, seconds);
    if (options.on_iteration)
      options.on_iteration(result.iterations.back(), result.iterations[best]);
  }
  if (result.best >= 0) result.best_hyperparameters = result.iterations[result.best].values;
  if (!rows.empty()) LOGGER.info("Tuner: best hyperparameters saved to " + yaml.string());
  return result;
}

}  // namespace orvane::engine
