// The live view: one WebSocket from camera_view carries every camera's frames (binary: a 24-byte header and
// the Annex-B access unit as published) and the figures once a second (text, JSON). Each tile decodes its
// camera with a WebCodecs VideoDecoder and draws the pictures on a canvas. window.cameraView holds what the
// page counted, for people and for the tests.
'use strict';

const kCameras = 4;
const kFirstPlatformId = 8;
const kHeaderSize = 24;
// Chunks waiting in a decoder beyond which the tile skips ahead to the next key frame.
const kMaxDecodeQueue = 24;

const view = { connected: false, state: 'connecting', figuresReceived: 0, tiles: [] };
window.cameraView = view;

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}

function cssState(state) { return 'state ' + String(state).toLowerCase().replace(/\s+/g, '-'); }

function makeTile(index) {
  const root = el('section', 'tile');
  const title = el('h2', '', 'cam_' + (kFirstPlatformId + index));
  const badge = el('span', 'state waiting', 'waiting');
  title.appendChild(badge);
  const canvas = el('canvas');
  // Drawn at a fixed size: scaling down in drawImage costs the browser less than compositing 720p canvases.
  canvas.width = 800;
  canvas.height = 450;
  const figures = el('div', 'figures');
  const cells = {};
  for (const [key, label] of [['fps', 'fps'], ['latency', 'latency p50 / p99'], ['bitrate', 'bit rate'],
                              ['key', 'key-frame interval'], ['lost', 'lost (est.)'], ['decoded', 'decoded'],
                              ['browser', 'to browser p50'], ['skipped', 'skipped here']]) {
    figures.appendChild(el('span', '', label));
    cells[key] = el('span', '', '–');
    figures.appendChild(cells[key]);
  }
  root.append(title, canvas, figures);
  document.getElementById('grid').appendChild(root);
  const tile = {
    decoded: 0, drawn: 0, pending: null, received: 0, skipped: 0, errors: 0, figuresShown: 0, codec: '', lastFrame: -1,
    waitingForKey: true, decoder: null, browserLatencies: [],
    ui: { badge, canvas, context: canvas.getContext('2d'), cells },
  };
  view.tiles.push(tile);
  return tile;
}

for (let i = 0; i < kCameras; ++i) makeTile(i);

// The NAL units of an Annex-B access unit, as [start, end) of their payload after the start code.
function* nalUnits(bytes) {
  let start = -1;
  for (let i = 0; i + 2 < bytes.length; ++i) {
    if (bytes[i] === 0 && bytes[i + 1] === 0 && bytes[i + 2] === 1) {
      if (start >= 0) yield [start, i > 0 && bytes[i - 1] === 0 ? i - 1 : i];
      start = i + 3;
      i += 2;
    }
  }
  if (start >= 0 && start < bytes.length) yield [start, bytes.length];
}

function hex2(value) { return value.toString(16).padStart(2, '0'); }

// The WebCodecs codec string of an H.264 key frame, from its sequence parameter set; '' when it has none.
function codecOf(bytes) {
  for (const [start, end] of nalUnits(bytes)) {
    if ((bytes[start] & 0x1f) === 7 && end - start >= 4) {
      return 'avc1.' + hex2(bytes[start + 1]) + hex2(bytes[start + 2]) + hex2(bytes[start + 3]);
    }
  }
  return '';
}

let drawScheduled = false;

function drawPending() {
  drawScheduled = false;
  for (const tile of view.tiles) {
    if (!tile.pending) continue;
    const canvas = tile.ui.canvas;
    tile.ui.context.drawImage(tile.pending, 0, 0, canvas.width, canvas.height);
    tile.pending.close();
    tile.pending = null;
    ++tile.drawn;
  }
}

function resetDecoder(tile) {
  if (tile.pending) {
    tile.pending.close();
    tile.pending = null;
  }
  if (tile.decoder && tile.decoder.state !== 'closed') tile.decoder.close();
  tile.decoder = null;
  tile.waitingForKey = true;
}

function configure(tile, codec) {
  resetDecoder(tile);
  tile.codec = codec;
  tile.decoder = new VideoDecoder({
    output: (frame) => {
      ++tile.decoded;
      tile.size = `${frame.displayWidth} x ${frame.displayHeight}`;
      // Drawn at the next animation frame, newest only: a busy browser draws less often instead of falling
      // behind.
      if (tile.pending) tile.pending.close();
      tile.pending = frame;
      if (!drawScheduled) {
        drawScheduled = true;
        requestAnimationFrame(drawPending);
      }
    },
    error: () => { ++tile.errors; resetDecoder(tile); },
  });
  tile.decoder.configure({ codec, optimizeForLatency: true });
}

function onFrame(buffer) {
  if (buffer.byteLength < kHeaderSize) return;
  const header = new DataView(buffer, 0, kHeaderSize);
  const camera = header.getUint8(1);
  if (header.getUint8(0) !== 1 || camera >= kCameras) return;
  const tile = view.tiles[camera];
  const key = (header.getUint8(2) & 1) !== 0;
  const frameNumber = header.getUint32(4, true);
  const publishNs = header.getBigInt64(8, true);
  const bytes = new Uint8Array(buffer, kHeaderSize);
  ++tile.received;
  if (tile.lastFrame >= 0 && frameNumber > tile.lastFrame + 1) tile.skipped += frameNumber - tile.lastFrame - 1;
  tile.lastFrame = frameNumber;
  tile.browserLatencies.push(Date.now() - Number(publishNs / 1000000n));

  if (key) {
    const codec = codecOf(bytes);
    if (codec && (codec !== tile.codec || !tile.decoder)) configure(tile, codec);
  }
  if (!tile.decoder) return;
  if (tile.waitingForKey && !key) { ++tile.skipped; return; }
  if (tile.decoder.decodeQueueSize > kMaxDecodeQueue) {
    tile.waitingForKey = true;  // this browser is behind: catch up at the next key frame
    ++tile.skipped;
    return;
  }
  tile.waitingForKey = false;
  try {
    tile.decoder.decode(new EncodedVideoChunk({
      type: key ? 'key' : 'delta', timestamp: Number(publishNs / 1000n), data: bytes }));
  } catch (e) {
    ++tile.errors;
    resetDecoder(tile);
  }
}

function median(values) {
  if (values.length === 0) return 0;
  const sorted = values.slice().sort((a, b) => a - b);
  return sorted[Math.floor((sorted.length - 1) / 2)];
}

function onFigures(figures) {
  ++view.figuresReceived;
  view.state = figures.state;
  const state = document.getElementById('state');
  state.textContent = figures.state;
  state.className = cssState(figures.state);
  document.getElementById('summary').textContent =
    `up ${figures.uptimeS.toFixed(0)} s · viewers ${figures.viewers} · samples missed ${figures.missedSamples}` +
    ` · undecodable ${figures.decodeFailures}`;
  figures.cameras.forEach((camera, index) => {
    const tile = view.tiles[index];
    if (!tile) return;
    const c = tile.ui.cells;
    tile.ui.badge.textContent = camera.state;
    tile.ui.badge.className = cssState(camera.state);
    c.fps.textContent = camera.fps.toFixed(1);
    c.latency.textContent = `${camera.latencyP50Ms.toFixed(1)} / ${camera.latencyP99Ms.toFixed(1)} ms`;
    c.bitrate.textContent = `${(camera.bitRateKbps / 1000).toFixed(2)} Mbit/s`;
    c.key.textContent = camera.keyIntervalFrames > 0
      ? `${camera.keyIntervalFrames} frames · ${(camera.keyIntervalMs / 1000).toFixed(2)} s` : '–';
    c.lost.textContent = `${camera.lost} (total ${camera.lostTotal})`;
    c.decoded.textContent = `${tile.decoded}` + (tile.errors ? ` · ${tile.errors} errors` : '');
    c.browser.textContent = `${median(tile.browserLatencies).toFixed(0)} ms`;
    c.skipped.textContent = `${tile.skipped}`;
    tile.browserLatencies.length = 0;
    tile.figures = camera;
    ++tile.figuresShown;
  });
}

function connect() {
  const socket = new WebSocket(`ws://${location.host}/ws`);
  socket.binaryType = 'arraybuffer';
  socket.onopen = () => { view.connected = true; };
  socket.onmessage = (event) => {
    if (typeof event.data === 'string') onFigures(JSON.parse(event.data));
    else onFrame(event.data);
  };
  socket.onclose = () => {
    view.connected = false;
    const state = document.getElementById('state');
    state.textContent = 'disconnected';
    state.className = cssState('disconnected');
    for (const tile of view.tiles) { resetDecoder(tile); tile.lastFrame = -1; }
    setTimeout(connect, 1000);
  };
}

if (typeof VideoDecoder === 'undefined') {
  document.getElementById('state').textContent = 'this browser has no WebCodecs VideoDecoder';
} else {
  connect();
}
