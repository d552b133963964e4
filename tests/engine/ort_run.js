// Runs an ONNX model in ONNX Runtime (npm's onnxruntime-node) for export_test:
//   node ort_run.js ORT_PACKAGE_DIR MODEL.onnx INPUT.bin HEIGHT WIDTH OUT_PREFIX
// INPUT.bin holds the [1,3,H,W] float32 input; each output is written to OUT_PREFIX<name>.bin
// and its name and shape printed, one per line.
const fs = require('fs');
const [, , pkg, model, input, height, width, prefix] = process.argv;
const ort = require(pkg);
(async () => {
  const session = await ort.InferenceSession.create(model);
  const bytes = new Uint8Array(fs.readFileSync(input));
  const data = new Float32Array(bytes.buffer, 0, bytes.length / 4);
  const feeds = {images: new ort.Tensor('float32', data, [1, 3, Number(height), Number(width)])};
  const outputs = await session.run(feeds);
  for (const name of session.outputNames) {
    const t = outputs[name];
    fs.writeFileSync(prefix + name + '.bin', Buffer.from(t.data.buffer, t.data.byteOffset, t.data.byteLength));
    console.log(name + ' ' + t.dims.join('x'));
  }
})().catch((e) => {
  console.error(e.message);
  process.exit(1);
});
