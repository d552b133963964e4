#pragma once
// Hyperparameter tuning by genetic search.
//
// Iteration 1 trains with the given (or default) hyperparameters. Every later iteration takes a
// parent from the best results so far (the top 5 by fitness, chosen at random weighted by
// fitness), multiplies each hyperparameter with probability `mutation` by
// 1 + N(0,1) * U(0,1) * sigma * gain (the factor clipped to [0.3, 3]), clips the result to the
// space's bounds and rounds it to 5 decimals, then trains `epochs` epochs and scores
//   fitness = 0.1 mAP50 + 0.9 mAP50-95   (box plus mask for segmentation, as training scores it).
//
// Tune folder (project/name, or name2, name3 ... when it exists and exist_ok is false), written
// after EVERY iteration, each file replaced atomically:
//   tune_results.csv           fitness,lr0,lrf,... one row per finished iteration
//   best_hyperparameters.yaml  the best row's hyperparameters, name: number (comment header)
//   tune_fitness.png           drawn by the `render_plots` hook (the engine links no Qt)
//   weights/best.pt            best.pt of the best iteration so far
//   iter1/, iter2/ ...         each iteration's training run (args.yaml, results.csv); its
//                              weights are removed once scored
//
// Everything random is seeded: the same seed, data and options repeat a search exactly.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/model.h"
#include "engine/trainer.h"

namespace orvane::engine {

// One searched hyperparameter: its TrainOptions key, bounds, and how strongly it mutates.
struct TuneDimension {
  std::string key;
  double lower = 0.0;
  double upper = 1.0;
  double gain = 1.0;  // scales the mutation (momentum mutates at 0.3 of the others)
};

// The ecosystem's published search space, limited to what our training honours:
// lr0 lrf momentum weight_decay warmup_epochs warmup_momentum box cls dfl hsv_h hsv_s hsv_v
// degrees translate scale shear perspective flipud fliplr mosaic. (mixup, copy_paste and bgr
// are not implemented by our augmentation, so searching them would only add noise.)
const std::vector<TuneDimension>& default_tune_space();

// One finished iteration: its fitness and the hyperparameters in space order.
struct TuneRow {
  double fitness = 0.0;
  std::vector<double> values;
};

// The search step. `rows` are the finished iterations (any order); with none, `start` (the
// iteration-1 values) is returned, clipped and rounded. Otherwise a parent is chosen among the
// top `parents` rows with weights fitness - min + 1e-6 and mutated as described above, redrawing
// until at least one value changes. Every draw comes from `rng`. The result lies within
// [lower, upper] of each dimension and is rounded to 5 decimals.
std::vector<double> mutate_hyperparameters(const std::vector<TuneDimension>& space,
                                           const std::vector<TuneRow>& rows,
                                           const std::vector<double>& start, std::mt19937_64& rng,
                                           double mutation = 0.8, double sigma = 0.2,
                                           int parents = 5);

// The value of one searched key in `options`, and setting it (EngineError for a key that is not
// a TrainOptions number).
double get_hyperparameter(const TrainOptions& options, const std::string& key);
void set_hyperparameter(TrainOptions& options, const std::string& key, double value);

struct TuneIteration {
  int index = 0;  // 1-based
  double fitness = 0.0;
  std::vector<std::pair<std::string, double>> values;  // space order
};

struct TuneOptions {
  // Every iteration trains with these; data, epochs (per iteration), imgsz, batch, workers,
  // optimizer, device, seed and the searched values are read from here. project/name/exist_ok
  // name the tune folder; train.plots is replaced by `plots` below.
  TrainOptions train;
  int iterations = 10;
  double mutation = 0.8;  // probability that a hyperparameter mutates
  double sigma = 0.2;     // mutation strength
  int parents = 5;        // parent chosen among this many best rows
  std::vector<TuneDimension> space = default_tune_space();
  // Draws tune_fitness.png from tune_results.csv in the tune folder; called after every
  // iteration. Optional.
  std::function<void(const std::filesystem::path& tune_dir)> render_plots;
  bool save = false;  // keep every iteration's weights (default: only the best, as weights/best.pt)
  bool plots = false;  // iterations draw training's pictures and charts (train.render_plots)
  // Called after every scored iteration, once the tune files are written: that iteration and
  // the best one so far. Optional.
  std::function<void(const TuneIteration& iteration, const TuneIteration& best)> on_iteration;
  // Asked before each iteration starts; true ends the search there. Optional. (A stop during an
  // iteration is a Trainer callback setting `stop`: the iteration then ends after its batch, is
  // not scored, and the search ends.)
  std::function<bool()> stop_requested;
};

struct TuneResult {
  std::filesystem::path save_dir;         // the tune folder
  std::vector<TuneIteration> iterations;  // finished and scored
  int best = -1;                          // index into `iterations`, -1 if none
  bool stopped = false;                   // ended early by a stop
  // The best row's hyperparameters (empty when no iteration finished).
  std::vector<std::pair<std::string, double>> best_hyperparameters;
};

// Runs the search. `model` is copied for every iteration, so each starts from the same weights;
// `fresh`: the model has no trained weights (it is rebuilt from the seed, as Trainer does).
// `callbacks` are added to every iteration's Trainer. optimizer=auto is resolved once by
// training's own rule (AdamW or SGD with its learning rate), because auto ignores lr0 and
// momentum. Throws EngineError for bad input (iterations < 1, bad data.yaml, unwritable folder)
// before training, and when iteration 1 (the given values) fails; a later failing iteration is
// logged and scores 0.
TuneResult tune(const YoloModel& model, bool fresh, TuneOptions options,
                const std::vector<std::pair<std::string, Trainer::Callback>>& callbacks = {});

}  // namespace orvane::engine
