// The reference runtime for the benchmark: the same network and input run by ONNX Runtime from
// Node.js (onnxruntime-node) on the CPU, driven over stdin so that the benchmark can alternate
// single inferences between it and our engine.
//
//   node infer.cjs MODEL INPUT.f32 OUTPUT.f32 THREADS
//
// Prints "ready LOAD_MS VERSION" after loading and two warm-up runs; then answers each "run"
// line with the milliseconds of one inference; "quit" writes the last output and exits.
'use strict';

const fs = require('fs');
const path = require('path');
const readline = require('readline');
const ort = require('onnxruntime-node');

async function main() {
  const [model, inputPath, outputPath, threads] = process.argv.slice(2);
  const started = performance.now();
  const session = await ort.InferenceSession.create(model, {
    executionProviders: ['cpu'],
    intraOpNumThreads: Number(threads),
    interOpNumThreads: 1,
    executionMode: 'sequential',
    graphOptimizationLevel: 'all',
    enableMemPattern: false,
    // Fixed to the size it runs at, as the engine's session is.
    freeDimensionOverrides: { height: 1024, width: 1024 },
  });
  const loadMs = performance.now() - started;

  const bytes = fs.readFileSync(inputPath);
  const data = new Float32Array(bytes.buffer, bytes.byteOffset, bytes.byteLength / 4);
  const feeds = { [session.inputNames[0]]: new ort.Tensor('float32', data, [1, 3, 1024, 1024]) };
  const outputName = session.outputNames[0];

  let last;
  for (let i = 0; i < 2; ++i) last = await session.run(feeds, [outputName]);
  const version = JSON.parse(
    fs.readFileSync(path.join(__dirname, 'node_modules/onnxruntime-node/package.json'), 'utf8')).version;
  console.log(`ready ${loadMs.toFixed(1)} ${version}`);

  const lines = readline.createInterface({ input: process.stdin });
  for await (const line of lines) {
    if (line === 'run') {
      const begin = performance.now();
      last = await session.run(feeds, [outputName]);
      console.log((performance.now() - begin).toFixed(2));
    } else if (line === 'quit') {
      break;
    }
  }
  const output = last[outputName].data;
  fs.writeFileSync(outputPath, Buffer.from(output.buffer, output.byteOffset, output.byteLength));
  process.exit(0);
}

main().catch((error) => {
  console.error(`reference: ${error.message}`);
  process.exit(1);
});
