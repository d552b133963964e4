// Forward latency of an exported ONNX model in ONNX Runtime (npm's onnxruntime-node, CPU):
//   node ort_bench.js ORT_PACKAGE_DIR MODEL.onnx [runs] [threads]
// prints "ort_forward_ms <best ms>" for a [1,3,640,640] input (the size inference_bench exports).
const [, , pkg, model, runsArg, threadsArg] = process.argv;
const ort = require(pkg);
(async () => {
  const threads = Number(threadsArg || require('os').cpus().length);
  const session = await ort.InferenceSession.create(model, {intraOpNumThreads: threads});
  const dims = [1, 3, 640, 640];
  const data = new Float32Array(dims.reduce((a, b) => a * b)).fill(0.5);
  const feeds = {images: new ort.Tensor('float32', data, dims)};
  const runs = Number(runsArg || 15);
  let best = Infinity;
  for (let i = 0; i < runs + 3; ++i) {
    const t0 = process.hrtime.bigint();
    await session.run(feeds);
    const ms = Number(process.hrtime.bigint() - t0) / 1e6;
    if (i >= 3) best = Math.min(best, ms);
  }
  console.log('ort_forward_ms ' + best.toFixed(2));
})().catch((e) => {
  console.error(e.message);
  process.exit(1);
});
