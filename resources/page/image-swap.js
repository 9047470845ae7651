(function () {
  'use strict';
  // The image map is one JSON object of paths and data URLs, tens of
  // megabytes for a plan of thousands of pictures: parsed whole, it held
  // the page for a second or more before any picture showed. Its entries
  // are found instead, a slice at a time (the end of a string is the next
  // quotation mark without an escape, which the text finds far faster than
  // a parser reads it), and each picture is decoded when it is given. A
  // block that is not such an object embeds nothing.
  var LOT_MS = 16;
  var block = document.getElementById('quarrystone-img');
  var text = block ? block.textContent : '';
  var at = 0, found = Object.create(null), places = null, waiting = [];

  function skip(from) {
    while (from < text.length && ' \t\n\r'.indexOf(text.charAt(from)) >= 0) from++;
    return from;
  }

  // `from` is just after a string's opening quotation mark: where it closes.
  function stringEnd(from) {
    for (;;) {
      var quote = text.indexOf('"', from), escapes = 0;
      if (quote < 0) throw new SyntaxError('unended string');
      while (text.charCodeAt(quote - 1 - escapes) === 92) escapes++;
      if (escapes % 2 === 0) return quote;
      from = quote + 1;
    }
  }

  function expect(character) {
    if (text.charAt(at) !== character) throw new SyntaxError('expected ' + character);
    at = skip(at + 1);
  }

  // Reads the next entry: whether another follows.
  function entry() {
    if (text.charAt(at) !== '"') throw new SyntaxError('expected a path');
    var keyEnd = stringEnd(at + 1), key = JSON.parse(text.slice(at, keyEnd + 1));
    at = skip(keyEnd + 1);
    expect(':');
    if (text.charAt(at) !== '"') throw new SyntaxError('expected a picture');
    var valueEnd = stringEnd(at + 1);
    found[key] = [at, valueEnd + 1];
    at = skip(valueEnd + 1);
    if (text.charAt(at) === ',') {
      at = skip(at + 1);
      return true;
    }
    expect('}');
    if (at !== text.length) throw new SyntaxError('text after the map');
    return false;
  }

  // Pictures asked for before the map is read get their sources once it is.
  function read(first) {
    var begun = Date.now(), more = true;
    try {
      if (first) {
        at = skip(0);
        expect('{');
        if (text.charAt(at) === '}') {
          expect('}');
          if (at !== text.length) throw new SyntaxError('text after the map');
          more = false;
        }
      }
      while (more && Date.now() - begun < LOT_MS) more = entry();
    } catch (e) {
      found = Object.create(null);
      more = false;
    }
    if (more) {
      setTimeout(function () { read(false); }, 0);
      return;
    }
    // A map that took a while to read is handed over in a task of its own.
    var handOver = function () {
      places = found;
      waiting.splice(0).forEach(function (go) { go(); });
    };
    if (first && Date.now() - begun < LOT_MS / 4) handOver();
    else setTimeout(handOver, 0);
  }

  function embedded(path) {
    if (!(path in places)) return null;
    var data = places[path];
    if (typeof data !== 'string') {
      try {
        data = JSON.parse(text.slice(data[0], data[1]));
      } catch (e) {
        data = '';
      }
      places[path] = data;
    }
    return data !== '' ? data : null;
  }

  // Pictures of the plan folder come without a source, so that a page sent
  // on its own asks for no file it lacks; each gets its embedded copy, or
  // its path when there is none (the application's view reads the folder).
  // As many as a few hundredths of a second allow, each lot in a task of
  // its own: a large plan has thousands of pictures, and giving each its
  // source is work enough to hold the page.
  var LOT_MS = 20;

  function give(pictures, from) {
    var begun = Date.now(), at = from;
    for (; at < pictures.length && (at === from || Date.now() - begun < LOT_MS); at++) {
      var image = pictures[at];
      if (image.getAttribute('src') !== null) continue;
      var path = image.getAttribute('data-src');
      image.setAttribute('src', embedded(path) || path);
    }
    if (at < pictures.length) setTimeout(function () { give(pictures, at); }, 0);
  }

  // Given a part of the page, only the pictures in it.
  window.quarryAssets = function (within) {
    var pictures = Array.prototype.slice.call((within || document).querySelectorAll('img[data-src]'));
    if (places) give(pictures, 0);
    else waiting.push(function () { give(pictures, 0); });
  };
  if (block) read(true);
  else places = found;
  window.quarryAssets();
})();
