(function () {
  'use strict';
  var LIBRARY = 'mermaid-library';
  var graph = document.querySelector('.graph');
  if (!graph) return;
  var askButton = document.getElementById('graph-draw');
  // A large graph waits for its button; a small one is drawn once the library is there.
  var wanted = !askButton;
  var library = 'waiting';

  var drawn = function () {
    if (askButton && askButton.parentElement) askButton.parentElement.hidden = true;
    var late = graph.querySelector('.gnote');
    if (late) late.parentElement.removeChild(late);
    if (typeof window.quarryAssets === 'function') window.quarryAssets();
  };

  // Set as soon as the library has run: left alone, it would draw every
  // graph itself at the load event, in its own colours, large ones too.
  function configure() {
    var rootStyle = getComputedStyle(document.documentElement);
    var token = function (name) { return rootStyle.getPropertyValue(name).trim(); };
    mermaid.initialize({
      startOnLoad: false,
      theme: 'base',
      securityLevel: 'loose',
      // Large plans (hundreds of screens, thousands of moves) must still draw.
      maxTextSize: 4000000,
      maxEdges: 20000,
      themeVariables: {
        fontFamily: getComputedStyle(document.body).fontFamily,
        fontSize: '14px',
        background: token('--surface'),
        primaryColor: token('--bg'),
        primaryTextColor: token('--fg'),
        primaryBorderColor: token('--line'),
        lineColor: token('--muted'),
        textColor: token('--fg'),
        edgeLabelBackground: token('--surface'),
        tertiaryColor: token('--surface')
      },
      flowchart: {
        htmlLabels: true,
        useMaxWidth: false,
        curve: 'basis',
        nodeSpacing: 30,
        rankSpacing: 38,
        padding: 10
      }
    });
  }

  function draw() {
    Promise.resolve(mermaid.run({ querySelector: '.mermaid' })).then(drawn, drawn);
  }

  function say() {
    if (graph.querySelector('.gnote')) return;
    var note = document.createElement('p');
    note.className = 'gnote';
    note.textContent = '그래프 그림을 불러오지 못했어요. 아래는 그 원문이고, 같은 이동은 화면별 상세에 있어요.';
    graph.insertBefore(note, graph.firstChild);
  }

  // Offline, or with the library refused, the box keeps the graph's text and says why.
  function explain() {
    graph.removeAttribute('data-ask');
    if (askButton && askButton.parentElement) askButton.parentElement.hidden = true;
    say();
  }

  // A library host that takes the connection and never answers is given
  // up only after the browser's own time-out, half a minute or more: the
  // page says so much sooner, and a library that comes late still draws.
  var PATIENCE = 8000;
  setTimeout(function () {
    if (wanted && library === 'waiting') say();
  }, PATIENCE);

  // Drawing holds the page for a while: it starts after the page has had
  // its chance to paint what it has.
  function start() {
    if (!wanted) return;
    if (library === 'failed') { explain(); return; }
    if (library !== 'ready') return;
    wanted = false;
    setTimeout(function () {
      try { draw(); } catch (e) { explain(); }
    }, 0);
  }

  function arrived() {
    try {
      configure();
      library = 'ready';
    } catch (e) {
      library = 'failed';
    }
  }

  function isLibrary(event) {
    return !!event.target && event.target.id === LIBRARY;
  }
  document.addEventListener('load', function (event) {
    if (!isLibrary(event)) return;
    if (typeof mermaid !== 'undefined') arrived(); else library = 'failed';
    start();
  }, true);
  document.addEventListener('error', function (event) {
    if (!isLibrary(event)) return;
    library = 'failed';
    start();
  }, true);

  // Mermaid lays a graph out in one go on the page's own thread: for
  // hundreds of screens and moves that keeps the tab from answering for
  // minutes. A graph drawn on request is laid out in layers on a worker
  // thread instead, without the library, and put on the page when ready.

  // Self-contained, so that its source is also the worker's. Takes node
  // sizes and edges as node indices; gives node centres and each edge's
  // points, from its source to its target.
  function layOut(input) {
    'use strict';
    var sizes = input.nodes, edges = input.edges;
    var n = sizes.length, count = n, i, k, r;
    var w = [], h = [], rank = [], ups = [], downs = [];
    for (i = 0; i < n; i++) { w.push(sizes[i][0]); h.push(sizes[i][1]); rank.push(0); ups.push([]); downs.push([]); }

    // A move that reaches a screen still on the depth-first path goes back
    // up: it is laid out reversed, so that what is left has no cycle.
    var outs = [], hasIn = [], state = [], back = [];
    for (i = 0; i < n; i++) { outs.push([]); hasIn.push(false); state.push(0); }
    for (k = 0; k < edges.length; k++) {
      back.push(false);
      if (edges[k][0] === edges[k][1]) continue;
      outs[edges[k][0]].push(k);
      hasIn[edges[k][1]] = true;
    }
    var visit = function (root) {
      var stack = [root], next = [0];
      state[root] = 1;
      while (stack.length) {
        var v = stack[stack.length - 1], at = next[next.length - 1];
        if (at < outs[v].length) {
          next[next.length - 1] = at + 1;
          var edge = outs[v][at], to = edges[edge][1];
          if (state[to] === 1) back[edge] = true;
          else if (state[to] === 0) { state[to] = 1; stack.push(to); next.push(0); }
        } else {
          state[v] = 2; stack.pop(); next.pop();
        }
      }
    };
    for (i = 0; i < n; i++) if (!hasIn[i] && !state[i]) visit(i);
    for (i = 0; i < n; i++) if (!state[i]) visit(i);

    // Layers: each screen one below the lowest screen that leads to it.
    var ends = [], below = [], waiting = [], queue = [], order = [];
    for (i = 0; i < n; i++) { below.push([]); waiting.push(0); }
    for (k = 0; k < edges.length; k++) {
      var from = edges[k][0], to = edges[k][1];
      if (from === to) { ends.push(null); continue; }
      if (back[k]) { var swap = from; from = to; to = swap; }
      ends.push([from, to]);
      below[from].push(to);
      waiting[to]++;
    }
    for (i = 0; i < n; i++) if (!waiting[i]) queue.push(i);
    for (var head = 0; head < queue.length; head++) {
      var v = queue[head];
      order.push(v);
      for (k = 0; k < below[v].length; k++) {
        var u = below[v][k];
        rank[u] = Math.max(rank[u], rank[v] + 1);
        if (--waiting[u] === 0) queue.push(u);
      }
    }
    // A screen nothing leads to sits just above the first screen it leads to.
    for (i = order.length - 1; i >= 0; i--) {
      var s = order[i];
      if (hasIn[s] || !below[s].length) continue;
      var lowest = Infinity;
      for (k = 0; k < below[s].length; k++) lowest = Math.min(lowest, rank[below[s][k]]);
      rank[s] = lowest - 1;
    }

    // A move across several layers passes a point in each.
    var chains = [];
    for (k = 0; k < edges.length; k++) {
      if (!ends[k]) { chains.push(null); continue; }
      var chain = [ends[k][0]], prev = ends[k][0];
      for (r = rank[ends[k][0]] + 1; r < rank[ends[k][1]]; r++) {
        var point = count++;
        w.push(0); h.push(0); rank.push(r); ups.push([prev]); downs.push([]);
        downs[prev].push(point);
        chain.push(point);
        prev = point;
      }
      downs[prev].push(ends[k][1]);
      ups[ends[k][1]].push(prev);
      chain.push(ends[k][1]);
      chains.push(chain);
    }

    var layers = [], top = 0;
    for (i = 0; i < count; i++) top = Math.max(top, rank[i]);
    for (r = 0; r <= top; r++) layers.push([]);
    // First order: as a depth-first walk from the top meets them.
    var seen = [], place = [];
    for (i = 0; i < count; i++) { seen.push(false); place.push(0); }
    var walk = function (root) {
      var stack = [root];
      while (stack.length) {
        var v = stack.pop();
        if (seen[v]) continue;
        seen[v] = true;
        layers[rank[v]].push(v);
        for (var at = downs[v].length - 1; at >= 0; at--) if (!seen[downs[v][at]]) stack.push(downs[v][at]);
      }
    };
    for (i = 0; i < order.length; i++) walk(order[i]);
    for (i = 0; i < count; i++) walk(i);
    var number = function (layer) { for (var at = 0; at < layer.length; at++) place[layer[at]] = at; };
    layers.forEach(number);

    // Fewer crossings: each layer sorted by where its neighbours sit.
    var sortBy = function (layer, near) {
      var keyed = layer.map(function (v) {
        var list = near[v], sum = 0;
        for (var at = 0; at < list.length; at++) sum += place[list[at]];
        return { v: v, key: list.length ? sum / list.length : place[v], was: place[v] };
      });
      keyed.sort(function (a, b) { return a.key - b.key || a.was - b.was; });
      for (var at = 0; at < keyed.length; at++) layer[at] = keyed[at].v;
      number(layer);
    };
    for (var round = 0; round < 8; round++) {
      if (round % 2 === 0) for (r = 1; r <= top; r++) sortBy(layers[r], ups);
      else for (r = top - 1; r >= 0; r--) sortBy(layers[r], downs);
    }

    // Across: each node as near the mean of its neighbours as the order and
    // the gaps allow (the closest such fit: neighbours that would pass each
    // other are pooled and placed together).
    var x = [];
    for (i = 0; i < count; i++) x.push(0);
    var gap = function (a, b) { return (w[a] + w[b]) / 2 + (a < n && b < n ? input.nodeGap : input.nodeGap / 2); };
    var fit = function (layer, wanted) {
      var offsets = [0], blocks = [], at;
      for (at = 1; at < layer.length; at++) offsets.push(offsets[at - 1] + gap(layer[at - 1], layer[at]));
      for (at = 0; at < layer.length; at++) {
        var block = { sum: wanted[at] - offsets[at], size: 1 };
        while (blocks.length && blocks[blocks.length - 1].sum / blocks[blocks.length - 1].size > block.sum / block.size) {
          var last = blocks.pop();
          block = { sum: block.sum + last.sum, size: block.size + last.size };
        }
        blocks.push(block);
      }
      var index = 0;
      blocks.forEach(function (b) {
        for (var m = 0; m < b.size; m++, index++) x[layer[index]] = b.sum / b.size + offsets[index];
      });
    };
    layers.forEach(function (layer) { fit(layer, layer.map(function () { return 0; })); });
    var pull = function (layer, near) {
      fit(layer, layer.map(function (v) {
        var list = near[v], sum = 0;
        for (var at = 0; at < list.length; at++) sum += x[list[at]];
        return list.length ? sum / list.length : x[v];
      }));
    };
    for (round = 0; round < 6; round++) {
      for (r = 1; r <= top; r++) pull(layers[r], ups);
      for (r = top - 1; r >= 0; r--) pull(layers[r], downs);
    }

    var left = 0, right = 0, margin = 8, y = [], layerTop = margin;
    if (count) { left = Infinity; right = -Infinity; }
    for (i = 0; i < count; i++) { left = Math.min(left, x[i] - w[i] / 2); right = Math.max(right, x[i] + w[i] / 2); }
    for (i = 0; i < count; i++) { x[i] += margin - left; y.push(0); }
    layers.forEach(function (layer) {
      var tall = 0;
      layer.forEach(function (v) { tall = Math.max(tall, h[v]); });
      layer.forEach(function (v) { y[v] = layerTop + tall / 2; });
      layerTop += tall + input.rankGap;
    });

    var points = chains.map(function (chain, edge) {
      if (!chain) return null;
      var list = chain.map(function (v, at) {
        return [x[v], y[v] + (at === 0 ? h[v] / 2 : at === chain.length - 1 ? -h[v] / 2 : 0)];
      });
      return back[edge] ? list.reverse() : list;
    });
    return {
      x: x.slice(0, n), y: y.slice(0, n), points: points,
      width: right - left + 2 * margin, height: Math.max(layerTop - input.rankGap + margin, 2 * margin)
    };
  }

  // On a worker, or on the page's own thread where no worker can be made.
  function layOutAside(input, done) {
    var worker = null, address = null, settled = false;
    try {
      address = URL.createObjectURL(new Blob(
        ['onmessage = function (event) { postMessage((' + layOut + ')(event.data)); };'],
        { type: 'text/javascript' }));
      worker = new Worker(address);
    } catch (e) {
      worker = null;
    }
    var end = function () {
      settled = true;
      if (worker) worker.terminate();
      if (address) URL.revokeObjectURL(address);
    };
    var here = function () {
      end();
      setTimeout(function () { done(layOut(input)); }, 0);
    };
    if (!worker) { here(); return; }
    worker.onmessage = function (event) {
      if (settled) return;
      end();
      done(event.data);
    };
    worker.onerror = function (event) {
      if (event.preventDefault) event.preventDefault();
      if (!settled) here();
    };
    worker.postMessage(input);
  }

  var SVG = 'http://www.w3.org/2000/svg';
  var XHTML = 'http://www.w3.org/1999/xhtml';
  var CLOSING = { '["': '"]', '(["': '"])', '[["': '"]]', '[/"': '"/]', '{{"': '"}}' };

  // The graph's own text as the page writes it: node lines with their
  // class and link lines, then the moves.
  function readGraph(text) {
    var nodes = [], byId = Object.create(null), edges = [];
    var node = function (id) {
      if (!(id in byId)) {
        byId[id] = nodes.length;
        nodes.push({ id: id, label: null, shape: '["', cond: false, href: null });
      }
      return byId[id];
    };
    text.split('\n').forEach(function (raw) {
      var line = raw.trim(), m;
      if ((m = /^click (\S+) href "(#[^"]*)"$/.exec(line))) { nodes[node(m[1])].href = m[2]; return; }
      if ((m = /^class (\S+) cond$/.exec(line))) { nodes[node(m[1])].cond = true; return; }
      if ((m = /^(\S+) (-->|-\.->)(?:\|"([^"]*)"\|)? (\S+)$/.exec(line))) {
        edges.push({ from: node(m[1]), to: node(m[4]), dotted: m[2] === '-.->', label: m[3] || '' });
        return;
      }
      m = /^([^\s[({"]+)(\(\["|\[\["|\[\/"|\{\{"|\[")(.*)("\]\)|"\]\]|"\/\]|"\}\}|"\])$/.exec(line);
      if (m && CLOSING[m[2]] === m[4]) {
        var found = nodes[node(m[1])];
        found.label = m[3];
        found.shape = m[2];
      }
    });
    nodes.forEach(function (found) { if (found.label === null) found.label = found.id; });
    return { nodes: nodes, edges: edges };
  }

  // A label rebuilt from the few things a label holds: text, line breaks,
  // small print and the screen's thumbnail; nothing else it says is markup.
  function labelInto(holder, markup) {
    var template = document.createElement('template');
    template.innerHTML = markup;
    var copy = function (from, to) {
      Array.prototype.forEach.call(from.childNodes, function (child) {
        if (child.nodeType === 3) { to.appendChild(document.createTextNode(child.nodeValue)); return; }
        if (child.nodeType !== 1) return;
        var tag = child.localName;
        if (tag === 'br') { to.appendChild(document.createElement('br')); return; }
        if (tag === 'small') {
          var small = document.createElement('small');
          copy(child, small);
          to.appendChild(small);
          return;
        }
        if (tag === 'img') {
          var image = document.createElement('img');
          image.className = 'gimg';
          image.alt = '';
          var path = child.getAttribute('data-src'), web = child.getAttribute('src');
          if (path) image.setAttribute('data-src', path);
          else if (web && /^https?:\/\//i.test(web)) image.setAttribute('src', web);
          to.appendChild(image);
          return;
        }
        copy(child, to);
      });
    };
    copy(template.content, holder);
  }

  function shapeOf(node, width, height) {
    var group = document.createElementNS(SVG, 'g'), shape;
    var slant = height / 4;
    var corners = function (list) {
      shape = document.createElementNS(SVG, 'polygon');
      shape.setAttribute('points', list.map(function (p) { return p[0] + ',' + p[1]; }).join(' '));
    };
    if (node.shape === '{{"') {
      corners([[slant, 0], [width - slant, 0], [width, height / 2], [width - slant, height], [slant, height], [0, height / 2]]);
    } else if (node.shape === '[/"') {
      corners([[slant, 0], [width, 0], [width - slant, height], [0, height]]);
    } else {
      shape = document.createElementNS(SVG, 'rect');
      shape.setAttribute('width', width);
      shape.setAttribute('height', height);
      if (node.shape === '(["') {
        shape.setAttribute('rx', height / 2);
        shape.setAttribute('ry', height / 2);
      }
    }
    group.appendChild(shape);
    if (node.shape === '[["') {
      [8, width - 8].forEach(function (at) {
        var side = document.createElementNS(SVG, 'line');
        side.setAttribute('x1', at);
        side.setAttribute('x2', at);
        side.setAttribute('y1', 0);
        side.setAttribute('y2', height);
        group.appendChild(side);
      });
    }
    return group;
  }

  function pathThrough(points) {
    var d = 'M' + points[0][0] + ',' + points[0][1];
    for (var at = 1; at < points.length; at++) {
      var a = points[at - 1], b = points[at], middle = (a[1] + b[1]) / 2;
      d += 'C' + a[0] + ',' + middle + ' ' + b[0] + ',' + middle + ' ' + b[0] + ',' + b[1];
    }
    return d;
  }

  // Named as the library names its lines: by the ids of their two ends.
  function link(d, edge, read, at) {
    var from = read.nodes[edge.from].id, to = read.nodes[edge.to].id;
    var path = document.createElementNS(SVG, 'path');
    path.setAttribute('d', d);
    path.setAttribute('id', 'L-' + from + '-' + to + '-' + at);
    path.setAttribute('class', 'flowchart-link LS-' + from + ' LE-' + to +
                      (edge.dotted ? ' edge-pattern-dotted' : ' edge-pattern-solid'));
    path.setAttribute('marker-end', 'url(#glaid-arrow)');
    return path;
  }

  function put(read, holders, sizes, placed, source) {
    var svg = document.createElementNS(SVG, 'svg');
    svg.setAttribute('class', 'glaid');
    svg.setAttribute('role', 'graphics-document document');
    svg.setAttribute('aria-roledescription', 'flowchart');
    svg.setAttribute('viewBox', '0 0 ' + placed.width + ' ' + placed.height);
    svg.setAttribute('width', placed.width);
    svg.setAttribute('height', placed.height);
    svg.style.maxWidth = placed.width + 'px';
    var marker = document.createElementNS(SVG, 'marker');
    [['id', 'glaid-arrow'], ['viewBox', '0 0 10 10'], ['refX', '9'], ['refY', '5'],
     ['markerWidth', '8'], ['markerHeight', '8'], ['orient', 'auto']].forEach(function (pair) {
      marker.setAttribute(pair[0], pair[1]);
    });
    var head = document.createElementNS(SVG, 'path');
    head.setAttribute('d', 'M0,0L10,5L0,10z');
    marker.appendChild(head);
    var defs = document.createElementNS(SVG, 'defs');
    defs.appendChild(marker);
    svg.appendChild(defs);

    var lines = document.createElementNS(SVG, 'g'), words = document.createElementNS(SVG, 'g');
    read.edges.forEach(function (edge, at) {
      var points = placed.points[at], spot;
      if (points) {
        lines.appendChild(link(pathThrough(points), edge, read, at));
        spot = [(points[0][0] + points[1][0]) / 2, (points[0][1] + points[1][1]) / 2];
      } else {
        // A screen that leads to itself: a loop on its right side.
        var cx = placed.x[edge.from] + sizes[edge.from][0] / 2, cy = placed.y[edge.from];
        lines.appendChild(link('M' + cx + ',' + (cy - 10) + 'C' + (cx + 36) + ',' + (cy - 30) + ' ' +
                               (cx + 36) + ',' + (cy + 30) + ' ' + cx + ',' + (cy + 10), edge, read, at));
        spot = [cx + 30, cy];
      }
      if (!edge.label) return;
      var holder = document.createElement('div');
      labelInto(holder, edge.label);
      var word = document.createElementNS(SVG, 'text');
      word.setAttribute('class', 'gmove');
      word.setAttribute('x', spot[0]);
      word.setAttribute('y', spot[1]);
      word.setAttribute('text-anchor', points ? 'middle' : 'start');
      word.setAttribute('dominant-baseline', 'middle');
      word.textContent = holder.textContent;
      words.appendChild(word);
    });
    svg.appendChild(lines);

    var boxes = document.createElementNS(SVG, 'g');
    read.nodes.forEach(function (node, at) {
      var width = sizes[at][0], height = sizes[at][1];
      var group = shapeOf(node, width, height);
      group.setAttribute('class', 'node' + (node.cond ? ' cond' : ''));
      group.setAttribute('id', 'flowchart-' + node.id + '-' + at);
      group.setAttribute('data-id', node.id);
      group.setAttribute('transform', 'translate(' + (placed.x[at] - width / 2) + ',' + (placed.y[at] - height / 2) + ')');
      var label = document.createElementNS(SVG, 'foreignObject');
      label.setAttribute('width', width);
      label.setAttribute('height', height);
      var frame = document.createElementNS(XHTML, 'div');
      frame.setAttribute('class', 'gframe');
      frame.appendChild(holders[at]);
      label.appendChild(frame);
      group.appendChild(label);
      if (node.href) {
        var anchor = document.createElementNS(SVG, 'a');
        anchor.setAttribute('href', node.href);
        anchor.setAttribute('data-id', node.id);
        anchor.appendChild(group);
        boxes.appendChild(anchor);
      } else {
        boxes.appendChild(group);
      }
    });
    svg.appendChild(boxes);
    // The words go over the boxes: a long move's words or a loop's words
    // beside its box would otherwise run under the next box, unread.
    svg.appendChild(words);
    source.textContent = '';
    source.appendChild(svg);
    source.setAttribute('data-processed', 'true');
    // Each move's words on the graph's own colour, as the library draws
    // them: the lines they sit on would show through the spaces. All are
    // measured before any ground is added, so the page is laid out once.
    var texts = Array.prototype.slice.call(words.childNodes);
    texts.map(function (text) { return text.getBBox(); }).forEach(function (box, at) {
      var ground = document.createElementNS(SVG, 'rect');
      ground.setAttribute('class', 'gground');
      ground.setAttribute('x', box.x - 2);
      ground.setAttribute('y', box.y - 1);
      ground.setAttribute('width', box.width + 4);
      ground.setAttribute('height', box.height + 2);
      words.insertBefore(ground, texts[at]);
    });
  }

  function drawLarge(done, failed) {
    var source = graph.querySelector('pre.mermaid');
    if (!source) { failed(); return; }
    var read = readGraph(source.textContent);
    // Every label measured at once, in the graph's own fonts, out of sight.
    var measuring = document.createElement('div');
    measuring.style.cssText = 'position:absolute;left:-100000px;top:0;visibility:hidden';
    graph.appendChild(measuring);
    var holders = read.nodes.map(function (node) {
      var holder = document.createElement('div');
      holder.className = 'glabel';
      labelInto(holder, node.label);
      measuring.appendChild(holder);
      return holder;
    });
    var sizes = holders.map(function (holder, at) {
      var shape = read.nodes[at].shape;
      var width = Math.max(holder.offsetWidth, 20) + 30, height = Math.max(holder.offsetHeight, 18) + 20;
      if (shape === '(["' || shape === '{{"' || shape === '[/"') width += height / 2;
      if (shape === '[["') width += 16;
      return [width, height];
    });
    graph.removeChild(measuring);
    var input = {
      nodes: sizes,
      edges: read.edges.map(function (edge) { return [edge.from, edge.to]; }),
      nodeGap: 30,
      rankGap: 64
    };
    layOutAside(input, function (placed) {
      try {
        put(read, holders, sizes, placed, source);
      } catch (e) {
        failed();
        return;
      }
      done();
    });
  }

  if (askButton) {
    askButton.disabled = false;
    askButton.addEventListener('click', function () {
      askButton.disabled = true;
      askButton.textContent = '그리는 중…';
      // Two frames: the button's new state is on screen before the work starts.
      var frame = window.requestAnimationFrame || function (fn) { setTimeout(fn, 16); };
      frame(function () {
        frame(function () {
          try {
            drawLarge(function () {
              graph.removeAttribute('data-ask');
              drawn();
            }, explain);
          } catch (e) {
            explain();
          }
        });
      });
    });
  }
  if (askButton && graph.hasAttribute('data-now')) askButton.click();
  if (typeof mermaid !== 'undefined') arrived();
  start();
})();
