// Metrics against hand-computed values: IoU, NMS, AP of a known precision-recall curve, the
// matching at several IoU thresholds, the confusion matrix.

#include "engine/metrics/metrics.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace orvane::engine;

TEST(Metrics, BoxAndMaskIou) {
  auto a = torch::tensor({{0.f, 0.f, 10.f, 10.f}, {0.f, 0.f, 2.f, 2.f}});
  auto b = torch::tensor({{5.f, 5.f, 15.f, 15.f}, {20.f, 20.f, 30.f, 30.f}});
  auto iou = box_iou(a, b);
  EXPECT_NEAR(iou[0][0].item<float>(), 25.f / 175.f, 1e-5);
  EXPECT_EQ(iou[0][1].item<float>(), 0.f);
  EXPECT_EQ(iou[1][0].item<float>(), 0.f);

  auto m1 = torch::tensor({{1.f, 1.f, 1.f, 0.f}});
  auto m2 = torch::tensor({{0.f, 1.f, 1.f, 1.f}, {0.f, 0.f, 0.f, 0.f}});
  auto mi = mask_iou(m1, m2);
  EXPECT_NEAR(mi[0][0].item<float>(), 0.5f, 1e-5);
  EXPECT_NEAR(mi[0][1].item<float>(), 0.f, 1e-5);
}

TEST(Metrics, GreedyNmsAndBatchedPostprocess) {
  auto boxes = torch::tensor({{0.f, 0.f, 10.f, 10.f},
                              {1.f, 1.f, 11.f, 11.f},  // IoU 0.68 with box 0
                              {20.f, 20.f, 30.f, 30.f},
                              {0.f, 0.f, 10.f, 9.f}});  // IoU 0.9 with box 0
  auto scores = torch::tensor({0.9f, 0.8f, 0.7f, 0.95f});
  auto keep = nms(boxes, scores, 0.7f);
  ASSERT_EQ(keep.size(0), 3);
  EXPECT_EQ(keep[0].item<int64_t>(), 3);
  EXPECT_EQ(keep[1].item<int64_t>(), 1);  // IoU 72/118 with box 3: kept
  EXPECT_EQ(keep[2].item<int64_t>(), 2);

  // [B=1, 4 + nc(2) + nm(1), A=3]: xywh, two class scores, one extra value.
  auto pred = torch::tensor({{50.f, 50.f, 20.f, 20.f, 0.9f, 0.6f, 7.f},
                             {51.f, 50.f, 20.f, 20.f, 0.8f, 0.1f, 8.f},
                             {10.f, 10.f, 4.f, 4.f, 0.0005f, 0.0002f, 9.f}})
                  .t()
                  .unsqueeze(0);
  NmsOptions opt;
  opt.conf = 0.001f;
  opt.iou = 0.7f;
  opt.multi_label = true;
  auto out = non_max_suppression(pred, 2, opt);
  ASSERT_EQ(out.size(), 1u);
  // Rows (box 0, class 0, .9), (box 0, class 1, .6), (box 1, class 0, .8), (box 1, class 1, .1):
  // the two boxes overlap at IoU 0.905, so per class only box 0 survives.
  ASSERT_EQ(out[0].size(0), 2);
  ASSERT_EQ(out[0].size(1), 7);
  EXPECT_NEAR(out[0][0][4].item<float>(), 0.9f, 1e-6);
  EXPECT_NEAR(out[0][0][0].item<float>(), 40.f, 1e-5);  // xyxy
  EXPECT_NEAR(out[0][0][6].item<float>(), 7.f, 1e-6);   // the extra value travels along
  EXPECT_EQ(out[0][1][5].item<float>(), 1.f);           // 0.6 for class 1
  EXPECT_NEAR(out[0][1][4].item<float>(), 0.6f, 1e-6);
  opt.multi_label = false;
  out = non_max_suppression(pred, 2, opt);
  ASSERT_EQ(out[0].size(0), 1);  // best class per box; both class 0, one suppressed
}

TEST(Metrics, ApOfKnownCurves) {
  // recall 1/2 at precision 1, then recall 1 at precision 1/2: the envelope is 1 up to recall
  // 0.5, then falls linearly to 0.5 at recall 1 and to 0 at the closing point.
  EXPECT_NEAR(compute_ap({0.5, 1.0}, {1.0, 0.5}), 0.8725, 1e-9);
  EXPECT_NEAR(compute_ap({1.0}, {1.0}), 0.995, 1e-9);  // perfect detector

  // Three objects; predictions TP (0.9), FP (0.8), TP (0.7) at every IoU threshold:
  // recall 1/3, 1/3, 2/3; precision 1, 1/2, 2/3 -> 101-point AP 0.6672.
  // Given out of confidence order on purpose.
  auto conf = torch::tensor({0.7f, 0.9f, 0.8f});
  auto tp = torch::tensor({1, 1, 0}).to(torch::kBool).unsqueeze(1).repeat({1, 10});
  auto pred_cls = torch::tensor({0, 0, 0});
  auto target_cls = torch::tensor({0, 0, 0, 1});
  ApResult r = ap_per_class(tp, conf, pred_cls, target_cls);
  ASSERT_EQ(r.classes, (std::vector<int>{0, 1}));
  EXPECT_NEAR(r.ap[0][0], 0.6672, 1e-9);
  EXPECT_NEAR(r.ap[0][9], 0.6672, 1e-9);
  EXPECT_NEAR(r.ap[1][0], 0.0, 1e-12);  // class 1: labelled, never predicted
  EXPECT_NEAR(r.map50(), 0.3336, 1e-9);
  EXPECT_NEAR(r.fitness(), 0.3336, 1e-9);
  // At the best mean-F1 confidence (at most 0.7, where class 0 has P 2/3, R 2/3).
  EXPECT_LE(r.best_conf, 0.7 + 1e-3);
  EXPECT_NEAR(r.p[0], 2.0 / 3, 1e-3);
  EXPECT_NEAR(r.r[0], 2.0 / 3, 1e-3);
  EXPECT_EQ(r.px.size(), 1000u);
  ASSERT_EQ(r.pr_curve.size(), 2u);
  EXPECT_NEAR(r.pr_curve[0][0], 1.0, 1e-9);
}

TEST(Metrics, MatchingAtIouThresholds) {
  // Predictions most confident first. gt 0 (class 0) overlaps pred 0 at 0.72 and pred 1 at 0.9;
  // gt 1 (class 1) overlaps pred 2 at 0.6, but pred 2 says class 0; gt 2 (class 0) overlaps
  // pred 1 at 0.55 and pred 3 at 0.8.
  auto iou = torch::tensor({{0.72f, 0.9f, 0.0f, 0.0f},
                            {0.0f, 0.0f, 0.6f, 0.0f},
                            {0.0f, 0.55f, 0.0f, 0.8f}});
  auto pred_cls = torch::tensor({0, 0, 0, 0});
  auto gt_cls = torch::tensor({0, 1, 0});
  auto correct = match_predictions(pred_cls, gt_cls, iou);
  for (int t = 0; t < 10; ++t) {
    const double thr = 0.5 + 0.05 * t;
    // The confident pred 0 keeps gt 0 wherever it reaches the threshold, although pred 1
    // overlaps gt 0 better; pred 1 then takes gt 0 above 0.72, or else gt 2.
    EXPECT_EQ(correct[0][t].item<bool>(), thr <= 0.72 + 1e-6) << t;
    EXPECT_EQ(correct[1][t].item<bool>(), thr <= 0.55 + 1e-6 || (thr > 0.72 && thr <= 0.9 + 1e-6))
        << t;
    EXPECT_FALSE(correct[2][t].item<bool>()) << t;  // wrong class
    // pred 3 finds gt 2 taken by pred 1 at 0.50-0.55, free above.
    EXPECT_EQ(correct[3][t].item<bool>(), thr > 0.55 + 1e-6 && thr <= 0.8 + 1e-6) << t;
  }
}

TEST(Metrics, ConfusionMatrixWithBackground) {
  ConfusionMatrix cm(2);
  // Detections: right class on gt 0, wrong class on gt 1, one on nothing, one below conf 0.25.
  auto det = torch::tensor({{0.f, 0.f, 10.f, 10.f, 0.9f, 0.f},
                            {20.f, 20.f, 30.f, 30.f, 0.8f, 0.f},
                            {50.f, 50.f, 60.f, 60.f, 0.7f, 1.f},
                            {70.f, 70.f, 80.f, 80.f, 0.1f, 1.f}});
  auto gt =
      torch::tensor({{0.f, 0.f, 10.f, 10.f}, {20.f, 20.f, 30.f, 31.f}, {90.f, 90.f, 99.f, 99.f}});
  cm.process_batch(det, gt, torch::tensor({0, 1, 1}));
  const auto& m = cm.matrix();  // rows predicted, columns true; index 2 = background
  EXPECT_EQ(m[0][0], 1);        // correct
  EXPECT_EQ(m[0][1], 1);        // a class-1 object called class 0
  EXPECT_EQ(m[2][1], 1);        // the class-1 object at 90 was missed
  EXPECT_EQ(m[1][2], 1);        // a class-1 detection on background
  double total = 0;
  for (const auto& row : m)
    for (double v : row) total += v;
  EXPECT_EQ(total, 4);

  cm.process_batch(torch::zeros({0, 6}), torch::zeros({0, 4}), torch::zeros({0}, torch::kInt64));
  const auto path = std::filesystem::temp_directory_path() / "orvane_cm_test.json";
  cm.save_json(path, {"a \"quoted\" name", "b"});
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(text.find("\"a \\\"quoted\\\" name\""), std::string::npos);
  EXPECT_NE(text.find("[1,1,0]"), std::string::npos) << text;
  std::filesystem::remove(path);
}
