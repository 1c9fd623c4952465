// The static server the browser tests load the page from, on the loopback
// address as a user would get it. A test can make files vanish (`missing`) or
// turn into garbage (`garbled`), by their path on the server.
'use strict';
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');

const kTypes = {
  '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm',
};

// Serves `site` until close(); resolves to {url, missing, garbled, close}.
// `isolated`: with the headers that make the page cross-origin isolated.
async function serveSite(site, { isolated = false } = {}) {
  const missing = new Set();
  const garbled = new Set();
  const server = http.createServer((request, response) => {
    const name = new URL(request.url, 'http://localhost').pathname.replace(/\/$/, '/index.html');
    const file = path.join(site, path.normalize(name));
    if (missing.has(name) || !file.startsWith(site + path.sep) || !fs.existsSync(file)) {
      response.writeHead(404).end();
      return;
    }
    const headers = { 'Content-Type': kTypes[path.extname(file)] || 'application/octet-stream' };
    if (isolated) {
      headers['Cross-Origin-Opener-Policy'] = 'same-origin';
      headers['Cross-Origin-Embedder-Policy'] = 'require-corp';
    }
    response.writeHead(200, headers);
    response.end(garbled.has(name) ? Buffer.from('not a module at all') : fs.readFileSync(file));
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return {
    url: `http://127.0.0.1:${server.address().port}/`,
    missing,
    garbled,
    // Connections a browser left open do not hold the server up.
    close: () => new Promise((resolve) => {
      server.close(resolve);
      server.closeAllConnections();
    }),
  };
}

module.exports = { serveSite };
