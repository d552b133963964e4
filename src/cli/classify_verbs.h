#pragma once
// The train, val and predict verbs for image classifiers (task=classify, or a `-cls` model):
// their data is a folder of class folders, not a data.yaml, and their results are accuracies and
// ranked classes, not boxes.

namespace orvane::engine {
struct TrainOptions;
}  // namespace orvane::engine

namespace orvane::cli {

class Args;

// True when task=classify, or when task= is not given and model= names a classifier (a -cls
// name, or a checkpoint of one). An ArgError when task= names another task for a classifier.
bool is_classify_run(const Args& args);

// orvane train for a classifier with the options already parsed (image size 224 and project
// runs/classify unless given). Writes the same progress lines as detection training.
int train_classify(const Args& args, engine::TrainOptions options);

// orvane val: top-1 and top-5 accuracy on split= (val or test) of data=.
int val_classify(const Args& args);

// orvane predict: the five most likely classes of each image of source=.
int predict_classify(const Args& args);

}  // namespace orvane::cli
