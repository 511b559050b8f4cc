// camera_view's Foxglove WebSocket protocol against an independent client: @foxglove/ws-protocol's
// FoxgloveClient over the ws package, the messages decoded from the advertised schema by @foxglove/rosmsg and
// @foxglove/rosmsg2-serialization, the video decoded by FFmpeg. Run by camera_view_foxglove_test
// (node --test) while a publisher streams the four cameras, with the environment:
//   FOXGLOVE_URL              ws://127.0.0.1:<port>
//   FOXGLOVE_WIDTH, FOXGLOVE_HEIGHT   the published picture size
//   FOXGLOVE_SECONDS          how long to receive (default 5)

import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { mkdtempSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { test } from "node:test";

import { parse as parseMessageDefinition } from "@foxglove/rosmsg";
import { MessageReader } from "@foxglove/rosmsg2-serialization";
import wsProtocol from "@foxglove/ws-protocol";
import { WebSocket } from "ws";

const { FoxgloveClient } = wsProtocol; // a CommonJS package

const url = process.env.FOXGLOVE_URL;
const width = Number(process.env.FOXGLOVE_WIDTH);
const height = Number(process.env.FOXGLOVE_HEIGHT);
const seconds = Number(process.env.FOXGLOVE_SECONDS ?? "5");
assert.ok(url, "FOXGLOVE_URL names camera_view's Foxglove WebSocket");

const WATCHED = ["/cam_8/video", "/cam_10/video"];
const FIGURES = "/camera_view/figures";

// Resolves with the first event `name` of `client` for which `accept` holds.
function next(client, name, accept = () => true, timeoutMs = 10000) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      client.off(name, listener);
      reject(new Error(`no ${name} within ${timeoutMs} ms`));
    }, timeoutMs);
    const listener = (event) => {
      if (accept(event)) {
        clearTimeout(timer);
        client.off(name, listener);
        resolve(event);
      }
    };
    client.on(name, listener);
  });
}

// FFmpeg's reading of an H.264 elementary stream.
function probe(bytes) {
  const scratch = mkdtempSync(join(tmpdir(), "foxglove_client_"));
  try {
    const path = join(scratch, "channel.h264");
    writeFileSync(path, bytes);
    const output = execFileSync("ffprobe", [
      "-v", "error", "-f", "h264", "-count_frames", "-select_streams", "v:0",
      "-show_entries", "stream=width,height,nb_read_frames", "-of", "json", path,
    ]);
    const [stream] = JSON.parse(output.toString()).streams;
    return { width: stream.width, height: stream.height, frames: Number(stream.nb_read_frames) };
  } finally {
    rmSync(scratch, { recursive: true, force: true });
  }
}

test("lists the channels, receives two cameras that FFmpeg decodes, and unsubscribing stops them", async () => {
  // The ws package sends no Origin: a tool, as Foxglove's desktop app is.
  const client = new FoxgloveClient({ ws: new WebSocket(url, [FoxgloveClient.SUPPORTED_SUBPROTOCOL]) });
  const errors = [];
  client.on("error", (error) => errors.push(error));
  try {
    const [serverInfo, channels] = await Promise.all([next(client, "serverInfo"), next(client, "advertise")]);
    assert.equal(serverInfo.name, "camera_view");
    const byTopic = new Map(channels.map((channel) => [channel.topic, channel]));
    assert.deepEqual(
      [...byTopic.keys()].sort(),
      ["/cam_10/video", "/cam_11/video", "/cam_8/video", "/cam_9/video", FIGURES].sort(),
    );
    for (const topic of WATCHED) {
      const channel = byTopic.get(topic);
      assert.equal(channel.encoding, "cdr");
      assert.equal(channel.schemaName, "foxglove_msgs/msg/CompressedVideo");
      assert.equal(channel.schemaEncoding, "ros2msg");
    }
    assert.equal(byTopic.get(FIGURES).encoding, "json");
    const reader = new MessageReader(
      parseMessageDefinition(byTopic.get(WATCHED[0]).schema, { ros2: true }),
    );

    const received = new Map(); // subscription id: decoded messages
    const topicOf = new Map();
    let figures = 0;
    let figuresSubscription;
    client.on("message", ({ subscriptionId, timestamp, data }) => {
      if (subscriptionId === figuresSubscription) {
        figures += 1;
        JSON.parse(new TextDecoder().decode(data));
        return;
      }
      const bytes = new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
      received.get(subscriptionId)?.push({ receiveNs: timestamp, video: reader.readMessage(bytes) });
    });
    for (const topic of WATCHED) {
      const id = client.subscribe(byTopic.get(topic).id);
      received.set(id, []);
      topicOf.set(id, topic);
    }
    figuresSubscription = client.subscribe(byTopic.get(FIGURES).id);

    await new Promise((resolve) => setTimeout(resolve, seconds * 1000));

    for (const [id, messages] of received) {
      const topic = topicOf.get(id);
      const cameraId = topic.split("/")[1];
      assert.ok(messages.length >= seconds * 20, `${topic}: ${messages.length} frames in ${seconds} s`);
      // The first frame is a key frame: it carries the parameter sets (an SPS, NAL type 7).
      const first = messages[0].video.data;
      const header = first[2] === 1 ? first[3] : first[4]; // after a start code of three or four bytes
      assert.equal(header & 0x1f, 7, `${topic}: the first frame starts with an SPS`);
      messages.forEach(({ receiveNs, video }, i) => {
        assert.equal(video.frame_id, cameraId);
        assert.equal(video.format, "h264");
        if (i > 0) {
          const previous = messages[i - 1];
          assert.ok(receiveNs >= previous.receiveNs, `${topic}: receive times in order`);
          const stamp = video.timestamp.sec * 1e9 + video.timestamp.nanosec;
          const before = previous.video.timestamp.sec * 1e9 + previous.video.timestamp.nanosec;
          assert.ok(stamp > before, `${topic}: stamps in order`);
        }
      });
      const decoded = probe(Buffer.concat(messages.map(({ video }) => video.data)));
      assert.equal(decoded.frames, messages.length, `${topic}: FFmpeg decodes every frame`);
      assert.equal(decoded.width, width);
      assert.equal(decoded.height, height);
      console.log(`${topic}: ${messages.length} frames in ${seconds} s, decoded ${decoded.width}x${decoded.height}`);
    }
    assert.ok(figures >= seconds - 1, `figures once a second: ${figures}`);

    // Unsubscribed, the cameras stop: once the server has answered a later request (it answers in order)
    // nothing more of them comes, while the figures still do.
    for (const id of received.keys()) {
      client.unsubscribe(id);
    }
    const answered = next(client, "status", (status) => status.level === 2);
    client.subscribe(999); // no such channel: refused with an error status
    await answered;
    const counts = [...received.values()].map((messages) => messages.length);
    const figuresBefore = figures;
    await new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error("no figures after the unsubscribe")), 5000);
      client.on("message", ({ subscriptionId }) => {
        if (subscriptionId === figuresSubscription && figures > figuresBefore) {
          clearTimeout(timer);
          resolve();
        }
      });
    });
    assert.deepEqual([...received.values()].map((messages) => messages.length), counts);
    assert.deepEqual(errors, []);
  } finally {
    client.close();
  }
});

test("a page of another origin is refused", async () => {
  const ws = new WebSocket(url, [FoxgloveClient.SUPPORTED_SUBPROTOCOL], { origin: "https://evil.example" });
  const status = await new Promise((resolve, reject) => {
    ws.on("unexpected-response", (_request, response) => resolve(response.statusCode));
    ws.on("open", () => reject(new Error("a foreign page was served")));
    ws.on("error", () => {});
  });
  assert.equal(status, 403);
  ws.terminate();
});
